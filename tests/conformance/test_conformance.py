"""The conformance cases (cases.json) through the Python doors: zev.Device in this process,
zev.connect() to a zevd (and to a read-only one), and the C interface through ctypes. Each
door turns a case into its own calls and its answer back into the cases' terms; every door
must give every case's answer. (The runtime, HTTP and zevctl run the same table in C++.)"""
import ctypes
import io
import json
import os
import re
import subprocess

import pytest

import zev

CASES = json.load(open(os.path.join(os.path.dirname(__file__), "cases.json")))["cases"]
TOKEN = "conformance-token-0123456789"


class Seen:
    def __init__(self, cls, value=None, error="", reports=(), transfers=None, log=None):
        self.cls, self.value, self.error = cls, value, error
        self.reports, self.transfers, self.log = list(reports), transfers, log


def messages(reports):
    return [r.message for r in reports]


class PythonDoor:
    """zev.Device, or a zev.connect() device: the same calls on both."""
    name = "python"
    can_fault = True
    can_trace = True

    def __init__(self):
        self.host = zev.SimulatedHost()
        self.device = zev.Device(self.host.bus, self.host.utility, self.host.status)
        self.log = None

    def cannot(self, case):
        return "a device in the process has no read-only mode" if case.get("readOnly") else ""

    def call(self, op):
        d, name = self.device, op["op"]
        reg, sig = op.get("register"), op.get("signal", "")
        start, count = op.get("start", 0), op.get("count")
        if name == "read":
            return d.service_read(reg, sig, start, count)
        if name == "value":
            return d.get_value_by_string(reg, sig)
        if name == "write":
            return d.service_write(reg, sig, op["values"], start)
        if name == "writeWords":
            return d.service_write(reg, "", ["%08X/h" % w for w in op["words"]], start)
        if name in ("lock", "unlock"):
            return getattr(d, name)(reg, sig)
        if name == "logging":
            self.log = io.StringIO()
            return d.logging(reg, sig, self.log, op.get("enable", True))
        if name == "defaults":
            return d.set_to_default()
        if name == "snapshot":
            return d.snapshot().count("\n")
        register = getattr(d, reg)
        if name == "registerDefaults":
            return register.set_to_default()
        if name == "appWords":
            return list(register.read(start, count))
        if name == "getBlock":
            return list(register.get(start, count, read_hw=op.get("readHw", False)))
        if name == "setBlock":
            return register.set(op["words"], start)
        signal = getattr(register, sig)
        if name == "get":
            return int(signal.get(read_hw=op.get("readHw", False)))
        if name == "set":
            return signal.set(op["value"], op.get("mode", 0))
        raise NotImplementedError(name)

    def expresses(self, op):
        return op["op"] not in ("words", "state")

    def start_trace(self, fault):
        if fault == "read":
            self.host.bus.throw_on_read = 1
        elif fault == "notReady":
            self.host.bus.ready_after_polls = 0
        self.trace = io.StringIO()
        self.host.bus.set_trace(self.trace)

    def stop_trace(self):
        self.host.bus.set_trace(None)
        return [line[5:] if line.startswith("bus: ") else line for line in self.trace.getvalue().splitlines()]

    def run(self, op, fault=""):
        if self.can_trace:
            self.start_trace(fault)
        logged = self.log.tell() if self.log is not None else 0
        try:
            value = self.call(op)
            reports = self.device.last_reports()
            seen = Seen("reported" if reports else "ok", value, reports=messages(reports))
        except zev.ReportedError as e:
            seen = Seen("reported", e.result, reports=messages(e.reports))
        except zev.HostFault as e:
            seen = Seen("fault", None, str(e), messages(e.reports))
        except zev.ServiceError as e:
            text = str(e)
            match = re.match(r"zevd answered (\d+): (.*)", text, re.S)
            cls = {"400": "bad", "403": "read_only"}.get(match.group(1), "status " + match.group(1)) if match else "refused"
            seen = Seen(cls, None, match.group(2) if match else text, messages(e.reports))
        except (ValueError, IndexError, TypeError) as e:
            seen = Seen("bad", None, str(e))
        except Exception as e:  # the host's own exception, passed through in this process
            seen = Seen("fault", None, "%s: %s" % (type(e).__name__, e))
        if self.can_trace:
            seen.transfers = self.stop_trace()
        if self.log is not None:
            self.log.seek(logged)
            seen.log = self.log.read().splitlines()
        return seen


class RemoteDoor(PythonDoor):
    """zev.connect() to a zevd of the case's own, read-only where the case says so."""
    name = "remote"
    can_fault = False
    can_trace = False

    def __init__(self, folder, read_only):
        self.process, url, token_file = serve(folder, *(["--read-only"] if read_only else []))
        self.device = zev.connect(url, token_file=token_file)
        self.log = None

    def cannot(self, case):
        return "a client cannot make the server's host fault" if case.get("fault") else ""

    def close(self):
        self.device.close()
        self.process.terminate()
        self.process.wait(10)


class CDoor:
    """The C interface through ctypes, on its own simulated ZEV (the C interface shows no
    transfers: the C tests' own host of callbacks records them)."""
    name = "ctypes"
    can_trace = False
    u32, i32, p, text = ctypes.c_uint32, ctypes.c_int32, ctypes.c_void_p, ctypes.c_char_p
    LOG = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_char_p)
    STATUS = ["ok", "refused", "refused", "bad", "buffer", "fault"]  # an unknown name is a refusal too

    class RegisterInfo(ctypes.Structure):
        _fields_ = [(name, ctypes.c_uint32) for name in ("address", "width", "words", "access", "status", "signal_count")]

    def __init__(self, path):
        u32, i32, p, text, pu32 = self.u32, self.i32, self.p, self.text, ctypes.POINTER(self.u32)
        self.lib = lib = ctypes.CDLL(path)
        for name, arguments in [
                ("zev_create_simulated", [ctypes.POINTER(p)]), ("zev_destroy", [p]),
                ("zev_last_error", [p, text, u32, pu32]), ("zev_reports", [p, text, u32, pu32]),
                ("zev_set_to_default", [p]), ("zev_snapshot", [p, text, u32, pu32]),
                ("zev_service_read", [p, text, text, u32, u32, text, u32, pu32, pu32]),
                ("zev_service_write", [p, text, text, text, u32]),
                ("zev_value_by_string", [p, text, text, text, u32, pu32]),
                ("zev_lock", [p, text, text]), ("zev_unlock", [p, text, text]), ("zev_lock_all", [p]),
                ("zev_unlock_all", [p]), ("zev_set_log_callback", [p, self.LOG, p]), ("zev_logging", [p, text, text, i32]),
                ("zev_register_find", [p, text, ctypes.POINTER(p)]),
                ("zev_register_describe", [p, ctypes.POINTER(self.RegisterInfo)]),
                ("zev_register_set_to_default", [p, ctypes.POINTER(i32)]),
                ("zev_register_read", [p, u32, u32, pu32]), ("zev_register_write", [p, u32, u32, pu32]),
                ("zev_signal_lookup", [p, text, text, ctypes.POINTER(p)]),
                ("zev_signal_get", [p, i32, pu32]), ("zev_signal_set", [p, u32, i32, ctypes.POINTER(i32)]),
                ("zev_memory_get", [p, u32, u32, i32, pu32, ctypes.POINTER(i32)]),
                ("zev_memory_set", [p, u32, u32, pu32, ctypes.POINTER(i32)]),
                ("zev_sim_fail_reads", [p, i32]), ("zev_sim_ready_after", [p, u32])]:
            function = getattr(lib, name)
            function.restype, function.argtypes = i32, arguments
        self.device = p()
        assert lib.zev_create_simulated(ctypes.byref(self.device)) == 0
        self.lines = []
        self.log_callback = self.LOG(lambda context, line: self.lines.append(line.decode()) or 0)
        lib.zev_set_log_callback(self.device, self.log_callback, None)
        self.log = None

    def close(self):
        self.lib.zev_destroy(self.device)

    def cannot(self, case):
        return "a device in the process has no read-only mode" if case.get("readOnly") else ""

    def expresses(self, op):
        return op["op"] not in ("state", "appWords")

    def texts(self, call, *arguments):
        size, count = ctypes.c_uint32(), ctypes.c_uint32()
        buffer = ctypes.create_string_buffer(1 << 20)
        extra = (ctypes.byref(count),) if call is self.lib.zev_service_read else ()
        status = call(self.device, *arguments, buffer, len(buffer), ctypes.byref(size), *extra)
        return status, buffer.value.decode()

    def reports(self):
        return [line.split(": ", 2)[-1] for line in self.texts(self.lib.zev_reports)[1].splitlines()]

    def count(self, op, register=None):
        """C takes a count always: a count left out is the rest of the register (none of an
        unknown one), from the register's words."""
        if "count" in op:
            return op["count"]
        if register is None:
            register = self.p()
            if self.lib.zev_register_find(self.device, op["register"].encode(), ctypes.byref(register)):
                return 0
        info = self.RegisterInfo()
        assert self.lib.zev_register_describe(register, ctypes.byref(info)) == 0
        return max(info.words - op.get("start", 0), 0)

    def call(self, op):
        lib, d, name = self.lib, self.device, op["op"]
        enc = lambda t: t.encode() if t is not None else None
        reg, sig = enc(op.get("register")), enc(op.get("signal", ""))
        start = op.get("start", 0)
        if name in ("read", "value"):
            if name == "read":
                status, text = self.texts(lib.zev_service_read, reg, sig, start, self.count(op))
            else:
                status, text = self.texts(lib.zev_value_by_string, reg, sig)
            return status, text.split("\n") if text else []
        if name == "write":
            return lib.zev_service_write(d, reg, sig, "\n".join(op["values"]).encode(), start), None
        if name in ("lock", "unlock"):
            return getattr(lib, "zev_" + name)(d, reg, sig), None
        if name == "logging":
            self.log = self.lines
            return lib.zev_logging(d, reg, sig, int(op.get("enable", True))), None
        if name == "defaults":
            return lib.zev_set_to_default(d), None
        if name == "snapshot":
            status, text = self.texts(lib.zev_snapshot)
            return status, text.count("\n")
        if name in ("get", "set"):
            signal = self.p()
            status = lib.zev_signal_lookup(d, reg, sig, ctypes.byref(signal))
            if status:
                return status, None
            value, written = self.u32(), self.i32()
            if name == "get":
                status = lib.zev_signal_get(signal, int(op.get("readHw", False)), ctypes.byref(value))
                return status, value.value
            status = lib.zev_signal_set(signal, op["value"], op.get("mode", 0), ctypes.byref(written))
            return status, bool(written.value)
        register = self.p()
        status = lib.zev_register_find(d, reg, ctypes.byref(register))
        if status:
            return status, None
        words = (self.u32 * 65536)()
        flag = self.i32()
        if name == "registerDefaults":
            return lib.zev_register_set_to_default(register, ctypes.byref(flag)), bool(flag.value)
        if name in ("words", "getBlock"):
            count = self.count(op, register)
            if name == "words":
                status = lib.zev_register_read(register, start, count, words)
            else:
                status = lib.zev_memory_get(register, start, count, int(op.get("readHw", False)), words, ctypes.byref(flag))
            return status, list(words[:count])
        given = op["words"]
        words[:len(given)] = given
        if name == "writeWords":
            return lib.zev_register_write(register, start, len(given), words), None
        if name == "setBlock":
            return lib.zev_memory_set(register, start, len(given), words, ctypes.byref(flag)), bool(flag.value)
        raise NotImplementedError(name)

    def run(self, op, fault=""):
        if fault == "read":
            self.lib.zev_sim_fail_reads(self.device, 1)
        elif fault == "notReady":
            self.lib.zev_sim_ready_after(self.device, 0)
        before = len(self.reports())
        logged = len(self.lines)
        status, value = self.call(op)
        reports = self.reports()[before:]
        error = self.texts(self.lib.zev_last_error)[1] if status else ""
        cls = self.STATUS[status] if status < len(self.STATUS) else "status %d" % status
        if cls == "ok" and reports:
            cls = "reported"
        seen = Seen(cls, value if status == 0 or op["op"] == "read" else None, error, reports)
        if self.log is not None:
            seen.log = self.lines[logged:]
        return seen


def for_c(case):
    """The C interface refuses a call on one register or signal whose library call reported
    (its status is all a C caller is sure to look at); device-wide calls only report."""
    expect = dict(case["expect"])
    if expect["class"] == "reported" and case["op"]["op"] not in ("defaults", "snapshot"):
        expect["class"] = "refused"
        expect.setdefault("error", expect.get("reports", [""])[-1])
        expect.pop("value", None)
    return dict(case, expect=expect)


def serve(folder, *options):
    binary = os.environ.get("ZEVD")
    if not binary or not os.path.exists(binary):
        pytest.skip("no zevd (set ZEVD to the binary)")
    token_file = folder / "token"
    token_file.write_text(TOKEN + "\n")
    process = subprocess.Popen([binary, "--listen", "127.0.0.1:0", "--token-file", str(token_file),
                                "--audit-log", os.devnull, *options],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = process.stdout.readline()
    match = re.search(r"listening on (http://\S+)", line)
    assert match, "zevd did not start: %r" % line
    return process, match.group(1), str(token_file)


def check(door, case, seen):
    expect, where = case["expect"], "%s: %s" % (door.name, case["name"])
    assert seen.cls == expect["class"], "%s: %s %r" % (where, seen.cls, seen.error)
    if "value" in expect:
        assert seen.value == expect["value"], where
    if "error" in expect:
        assert seen.error == expect["error"], where
    if "reports" in expect:
        assert seen.reports == expect["reports"], where
    if "transfers" in expect and seen.transfers is not None:
        assert seen.transfers == expect["transfers"], where
    if "log" in expect and seen.log is not None:
        assert seen.log == expect["log"], where


@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
@pytest.mark.parametrize("kind", ["python", "remote", "ctypes"])
def test_case(kind, case, tmp_path):
    """Each case on a device of its own, as every door runs it: nothing of one case reaches the next."""
    if kind == "ctypes":
        if not os.environ.get("ZEV_C_LIBRARY"):
            pytest.skip("no C library (set ZEV_C_LIBRARY to it)")
        door = CDoor(os.environ["ZEV_C_LIBRARY"])
        case = for_c(case)
    else:
        door = PythonDoor() if kind == "python" else RemoteDoor(tmp_path, case.get("readOnly", False))
    try:
        why = case.get("not", {}).get(door.name) or door.cannot(case)
        steps = case.get("setup", []) + [case["op"]]
        if why or not all(door.expresses(step) for step in steps):
            pytest.skip(why or "the door has no call for a step")
        if kind == "python":
            door.device.set_to_default()  # as zevd does when it starts
        elif kind == "ctypes":
            door.lib.zev_set_to_default(door.device)
        for step in case.get("setup", []):
            seen = door.run(step)
            assert seen.cls in ("ok", "reported"), "setup %r: %s %s" % (step, seen.cls, seen.error)
        check(door, case, door.run(case["op"], case.get("fault", "")))
    finally:
        if kind != "python":
            door.close()
