"""The C interface from Python's ctypes, with no build step: the library as built, its
functions declared here, the simulated ZEV and a host of Python callbacks driven through it.

    python3 ctypes_test.py path/to/librl_zev_c.so
"""
import ctypes
import sys
import unittest

LIBRARY = sys.argv.pop(1) if len(sys.argv) > 1 else "librl_zev_c.so"

OK, REFUSED, NOT_FOUND, BAD_ARGUMENT, BUFFER_TOO_SMALL, HOST_FAULT = range(6)
WRITE_IMMEDIATE, WRITE_DEFERRED, WRITE_IF_CHANGED = range(3)

u32, i32, p = ctypes.c_uint32, ctypes.c_int32, ctypes.c_void_p
REPORT = ctypes.CFUNCTYPE(None, p, ctypes.c_char_p, i32, ctypes.c_char_p, ctypes.c_char_p)
WRITE = ctypes.CFUNCTYPE(i32, p, u32, ctypes.POINTER(u32), u32)
READ = ctypes.CFUNCTYPE(i32, p, u32, ctypes.POINTER(u32), u32)
WAIT = ctypes.CFUNCTYPE(i32, p, u32)
PREPARE = ctypes.CFUNCTYPE(i32, p, ctypes.POINTER(u32))
STOP = ctypes.CFUNCTYPE(i32, p)


class Host(ctypes.Structure):
    _fields_ = [("context", p), ("write", WRITE), ("read", READ), ("wait", WAIT), ("prepare_set", PREPARE),
                ("prepare_reset", PREPARE), ("prepare_reset_all", PREPARE), ("report_error", REPORT),
                ("report_access_denied", REPORT), ("stop_waiting", STOP)]


class RegisterInfo(ctypes.Structure):
    _fields_ = [(name, u32) for name in ("address", "width", "words", "access", "status", "signal_count")]


lib = ctypes.CDLL(LIBRARY)
for name, result, arguments in [
        ("zev_abi_version", u32, []),
        ("zev_create_simulated", i32, [ctypes.POINTER(p)]),
        ("zev_create", i32, [ctypes.POINTER(Host), ctypes.POINTER(p)]),
        ("zev_destroy", i32, [p]),
        ("zev_last_error", i32, [p, ctypes.c_char_p, u32, ctypes.POINTER(u32)]),
        ("zev_fetch_text", i32, [p, ctypes.c_char_p, u32, ctypes.POINTER(u32)]),
        ("zev_set_report_callbacks", i32, [p, REPORT, REPORT, p]),
        ("zev_set_to_default", i32, [p]),
        ("zev_snapshot", i32, [p, ctypes.c_char_p, u32, ctypes.POINTER(u32)]),
        ("zev_service_read", i32, [p, ctypes.c_char_p, ctypes.c_char_p, u32, u32, ctypes.c_char_p, u32,
                                   ctypes.POINTER(u32), ctypes.POINTER(u32)]),
        ("zev_service_write", i32, [p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, u32]),
        ("zev_register_count", i32, [p, ctypes.POINTER(u32)]),
        ("zev_register_find", i32, [p, ctypes.c_char_p, ctypes.POINTER(p)]),
        ("zev_register_describe", i32, [p, ctypes.POINTER(RegisterInfo)]),
        ("zev_signal_lookup", i32, [p, ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(p)]),
        ("zev_signal_enumerator_value", i32, [p, ctypes.c_char_p, ctypes.POINTER(u32)]),
        ("zev_signal_get", i32, [p, i32, ctypes.POINTER(u32)]),
        ("zev_signal_set", i32, [p, u32, i32, ctypes.POINTER(i32)]),
        ("zev_memory_get", i32, [p, u32, u32, i32, ctypes.POINTER(u32), ctypes.POINTER(i32)]),
        ("zev_memory_set", i32, [p, u32, u32, ctypes.POINTER(u32), ctypes.POINTER(i32)]),
        ("zev_sim_peek", i32, [p, u32, ctypes.POINTER(u32)])]:
    function = getattr(lib, name)
    function.restype, function.argtypes = result, arguments


def last_error(device):
    text = ctypes.create_string_buffer(512)
    assert lib.zev_last_error(device, text, len(text), None) == OK
    return text.value.decode()


def make_simulated():
    device = p()
    assert lib.zev_create_simulated(ctypes.byref(device)) == OK
    return device


def signal(device, register, name):
    handle = p()
    assert lib.zev_signal_lookup(device, register.encode(), name.encode(), ctypes.byref(handle)) == OK, last_error(device)
    return handle


class SimulatedDevice(unittest.TestCase):
    def setUp(self):
        self.assertEqual(lib.zev_abi_version(), 2)
        self.device = make_simulated()
        self.assertEqual(lib.zev_set_to_default(self.device), OK)

    def tearDown(self):
        self.assertEqual(lib.zev_destroy(self.device), OK)

    def peek(self, address):
        word = u32()
        self.assertEqual(lib.zev_sim_peek(self.device, address, ctypes.byref(word)), OK)
        return word.value

    def test_catalogue(self):
        count, reg, info = u32(), p(), RegisterInfo()
        self.assertEqual(lib.zev_register_count(self.device, ctypes.byref(count)), OK)
        self.assertEqual(count.value, 441)
        self.assertEqual(lib.zev_register_find(self.device, b"SWP_DATA_RAM", ctypes.byref(reg)), OK)
        self.assertEqual(lib.zev_register_describe(reg, ctypes.byref(info)), OK)
        self.assertEqual((info.address, info.width, info.words, info.signal_count), (0x10000, 32, 49152, 0))
        self.assertEqual(lib.zev_register_find(self.device, b"NOPE", ctypes.byref(reg)), NOT_FOUND)
        self.assertEqual(last_error(self.device), "no register NOPE")

    def test_enumerated_signal_set_and_read_back(self):
        trig_sel, marker, value, written = signal(self.device, "AUD_CNTRL0", "TRIG_SEL"), u32(), u32(), i32()
        self.assertEqual(lib.zev_signal_enumerator_value(trig_sel, b"MARKER_SIG_3", ctypes.byref(marker)), OK)
        self.assertEqual(lib.zev_signal_set(trig_sel, marker, WRITE_IMMEDIATE, ctypes.byref(written)), OK)
        self.assertEqual(written.value, 1)
        self.assertEqual(self.peek(0x0E00) & 7, 3)
        self.assertEqual(lib.zev_signal_get(trig_sel, 1, ctypes.byref(value)), OK)
        self.assertEqual(value.value, 3)
        self.assertEqual(lib.zev_signal_set(trig_sel, 8, WRITE_IMMEDIATE, None), BAD_ARGUMENT)
        self.assertEqual(last_error(self.device), "AUD_CNTRL0.TRIG_SEL has no enumerator of value 8")
        self.assertEqual(self.peek(0x0E00) & 7, 3)

    def test_text_service_texts_and_refusals(self):
        reports = []
        on_report = REPORT(lambda context, file, line, function, message:
                           reports.append((function.decode(), message.decode())))
        self.assertEqual(lib.zev_set_report_callbacks(self.device, on_report, on_report, None), OK)
        self.assertEqual(lib.zev_service_write(self.device, b"AUD_CNTRL0", b"MULT_HP", b"256/d", 0), REFUSED)
        self.assertEqual(last_error(self.device), "Value limit exceeded: 256/d,")
        self.assertEqual(reports, [("CSignalBase::ServiceWrite", "Value limit exceeded: 256/d,")])
        self.assertEqual(lib.zev_service_write(self.device, b"ENT_H1", b"", b"1F/h\n12/d", 3), OK)
        needed, count = u32(), u32()
        self.assertEqual(lib.zev_service_read(self.device, b"ENT_H1", b"", 2, 3, None, 0, ctypes.byref(needed),
                                              ctypes.byref(count)), BUFFER_TOO_SMALL)
        self.assertEqual((needed.value, count.value), (33, 3))
        text = ctypes.create_string_buffer(needed.value)
        self.assertEqual(lib.zev_fetch_text(self.device, text, len(text), None), OK)
        self.assertEqual(text.value.decode().split("\n"), ["00000000/h", "0000001F/h", "0000000C/h"])
        self.assertEqual(lib.zev_set_report_callbacks(self.device, REPORT(), REPORT(), None), OK)

    def test_memory_block(self):
        ram, done = p(), i32()
        self.assertEqual(lib.zev_register_find(self.device, b"DET_APD_SSRAM", ctypes.byref(ram)), OK)
        words = (u32 * 3)(7, 8, 9)
        self.assertEqual(lib.zev_memory_set(ram, 100, 3, words, ctypes.byref(done)), OK)
        self.assertEqual(done.value, 1)
        self.assertEqual([self.peek(0x5000 + 100 + i) for i in range(3)], [7, 8, 9])
        back = (u32 * 3)()
        self.assertEqual(lib.zev_memory_get(ram, 100, 3, 1, back, ctypes.byref(done)), OK)
        self.assertEqual(list(back), [7, 8, 9])
        self.assertEqual(lib.zev_memory_get(ram, 4095, 3, 1, back, ctypes.byref(done)), REFUSED)
        self.assertEqual(last_error(self.device), ", memory error, RAM frontiers have been hurt.")

    def test_snapshot(self):
        needed = u32()
        self.assertEqual(lib.zev_snapshot(self.device, None, 0, ctypes.byref(needed)), BUFFER_TOO_SMALL)
        text = ctypes.create_string_buffer(needed.value)
        self.assertEqual(lib.zev_fetch_text(self.device, text, len(text), None), OK)
        script = text.value.decode()
        self.assertTrue(script.startswith("function [device,ZEV] = ZEV_DUMP()\n"), script[:80])
        self.assertIn("\nZEV.COR_CNTRL.NOF_ITERATIONS = 9; % Wert =NINE\n", script)


class PythonHost(unittest.TestCase):
    """A host of Python callbacks: every transfer recorded, a failing one seen as an error."""

    def test_transfers_and_a_failing_write(self):
        transfers, fail = [], []

        def write(context, address, words, byte_count):
            transfers.append(("W", address, byte_count, words[0]))
            return fail.pop() if fail else 0

        host = Host(None, WRITE(write), READ(lambda c, a, w, n: 0), WAIT(lambda c, d: 0), PREPARE(), PREPARE(),
                    PREPARE(), REPORT(), REPORT(), STOP())
        device = p()
        self.assertEqual(lib.zev_create(ctypes.byref(host), ctypes.byref(device)), OK)
        trig_sel = signal(device, "AUD_CNTRL0", "TRIG_SEL")
        self.assertEqual(lib.zev_signal_set(trig_sel, 5, WRITE_IMMEDIATE, None), OK)
        self.assertEqual(transfers, [("W", 0x0E00, 3, 5)])
        fail.append(9)
        self.assertEqual(lib.zev_signal_set(trig_sel, 6, WRITE_IMMEDIATE, None), HOST_FAULT)
        self.assertEqual(last_error(device),
                         "host fault: the host's write callback returned 9 (address 0x00E00, 3 bytes)")
        self.assertEqual(lib.zev_destroy(device), OK)


if __name__ == "__main__":
    unittest.main(verbosity=2)
