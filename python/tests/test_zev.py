"""The zev package on recording Python host objects and on the simulated device: typed
access with every write mode, the read-back path through a Python bus, exceptions from
Python hosts, memories from lists and buffers, the text service, lifetime, bad input."""
import array
import ast
import gc
import io
import os

import pytest

import zev

TRIG_SEL = zev.enums.AUD_CNTRL0.TRIG_SEL
STATUS, SERVAL, READY = 24, 30, 0x10000


class Bus(zev.HWAccess):
    """A bus of words in a dict that records every call; sequentially read registers answer
    through SERVAL after `polls` status polls, as the device does."""

    def __init__(self, polls=1):
        super().__init__()
        self.calls, self.words, self.polls = [], {}, polls
        self.fail_on = None  # (kind, exception) raised by that kind of call

    def _fail(self, kind):
        if self.fail_on and self.fail_on[0] == kind:
            raise self.fail_on[1]

    def Write(self, address, words, byte_count):
        self.calls.append(("W", address, list(words), byte_count))
        self._fail("W")
        self.words[address] = words[0]

    def Read(self, address, byte_count):
        self.calls.append(("R", address, byte_count))
        self._fail("R")
        if address == STATUS:
            self.left -= 1
            return [READY if self.polls is not None and self.left <= 0 else 0]
        if address == SERVAL:
            return [self.latched]
        sequential = zev.register_map_by_address.get(address) == "CSequentialRead_ParallelWrite"
        if sequential:
            self.latched, self.left = self.words.get(address, 0), self.polls or 0
        return [self.words.get(address, 0)]

    def Wait(self, duration):
        self.calls.append(("wait", duration))


class Reports(zev.Utility):
    def __init__(self):
        super().__init__()
        self.reports, self.raise_on_report = [], None

    def ReportError(self, file, line, function, message):
        self.reports.append((function, message))
        if self.raise_on_report:
            raise self.raise_on_report

    def StopWaiting(self):
        return False

    def ReportAccessDenied(self, file, line, function, message):
        self.reports.append((function, message))


class Status(zev.StatusRegister):
    def __init__(self):
        super().__init__()
        self.calls = []

    def PrepareSet(self, word):
        self.calls.append(("set", word))
        return 0

    def PrepareReset(self, word):
        self.calls.append(("reset", word))
        return word

    def PrepareResetAll(self, word):
        self.calls.append(("reset all", word))
        return 0xFFFFFFFF


zev.register_map_by_address = {r.address: r.access for r in zev.register_map.values()}


@pytest.fixture
def host():
    # Reports go to the utility of the first device alive in the process: earlier devices go first.
    gc.collect()
    bus, reports, status = Bus(), Reports(), Status()
    return bus, reports, status, zev.Device(bus, reports, status)


def test_typed_set_with_every_write_mode(host):
    bus, reports, status, dev = host
    reg = dev.AUD_CNTRL0
    assert reg.TRIG_SEL.set(TRIG_SEL.MARKER_SIG_3, zev.WriteMode.IMMEDIATE)
    assert bus.calls == [("W", 0xE00, [3], 3)]
    bus.calls.clear()
    reg.MULT_HP.set(5, zev.WriteMode.DEFERRED)
    reg.SHIFT_HP.set(2, zev.WriteMode.DEFERRED)
    assert bus.calls == []
    reg.MULT_DE.set(1, zev.WriteMode.IMMEDIATE)
    assert bus.calls == [("W", 0xE00, [3 | 5 << 3 | 2 << 9 | 1 << 12], 3)]
    bus.calls.clear()
    reg.MULT_DE.set(1, zev.WriteMode.IF_CHANGED)
    assert bus.calls == []
    reg.MULT_DE.set(2, zev.WriteMode.IF_CHANGED)
    assert bus.calls == [("W", 0xE00, [3 | 5 << 3 | 2 << 9 | 2 << 12], 3)]
    assert reg.TRIG_SEL.get() is TRIG_SEL.MARKER_SIG_3 and reg.MULT_HP.get() == 5
    assert reports.reports == []


def test_the_read_back_path_through_a_python_bus(host):
    bus, reports, status, dev = host
    bus.polls = 3
    bus.words[0xE00] = 6 | 9 << 3
    bus.calls.clear()
    assert dev.AUD_CNTRL0.TRIG_SEL.get(read_hw=True) is TRIG_SEL.MARKER_SIG_6
    assert dev.AUD_CNTRL0.MULT_HP.get() == 9
    kinds = [c[0] + (":%d" % c[1] if c[0] != "wait" else "") for c in bus.calls]
    assert kinds[:2] == ["W:24", "R:3584"] and kinds[-1] == "R:30"
    assert kinds.count("R:24") == 3, "polled until SERDAT_RDY shows"
    bus.polls = None  # never ready: the library gives up and reports
    assert dev.AUD_CNTRL0.TRIG_SEL.get(read_hw=True) == 7
    assert reports.reports[-1][1] == ",HW device not ready!"


def test_exceptions_from_python_hosts(host):
    bus, reports, status, dev = host

    class BusFault(Exception):
        pass

    fault = BusFault("cable pulled")
    bus.fail_on = ("R", fault)
    # Inside the read-back the library catches it and reports; elsewhere it reaches Python.
    dev.AUD_CNTRL0.TRIG_SEL.get(read_hw=True)
    assert reports.reports[-1][1] == ",Unknown error!"
    with pytest.raises(BusFault) as raised:
        dev.DIN_MS_DET_LOW.MS_DET_LOW.get(read_hw=True)
    assert raised.value is fault
    bus.fail_on = ("W", KeyError("write"))
    with pytest.raises(KeyError):
        dev.DIN_MS_DET_LOW.MS_DET_LOW.set(3)
    bus.fail_on = None
    reports.raise_on_report = ValueError("report refused")
    with pytest.raises(ValueError, match="report refused"):
        dev.service_write("DIN_CNTRL0", "FIFOLEVEL", ["256/d"])
    reports.raise_on_report = None
    assert dev.DIN_MS_DET_LOW.MS_DET_LOW.set(4) and bus.words[0x11A] == 4, "the device goes on"


def test_status_registers_are_prepared_by_python(host):
    bus, reports, status, dev = host
    dev.PRI_STATUSREG1.SR0_READ_POSTPROC_END.set(1)
    dev.PRI_STATUSREG1.SR0_READ_POSTPROC_END.set(0)
    assert [c[0] for c in status.calls] == ["set", "reset"]


def test_memories_from_lists_and_buffers(host):
    bus, reports, status, dev = host
    sim = zev.SimulatedHost()
    mem = zev.Device(sim.bus, sim.utility, sim.status).ENT_H1
    assert mem.is_memory and mem.words == 7
    assert mem.set([1, 2, 0xFFFFFFFF], start=4)
    assert mem.get(4) == [1, 2, 0xFFFFFFFF]
    assert mem.set(array.array("I", [7, 8]), start=0)
    assert mem.set(memoryview(array.array("I", [9, 10, 11, 12]))[::2], start=2)
    assert mem.get() == [7, 8, 9, 11, 1, 2, 0xFFFFFFFF]
    assert [sim.bus.peek(0x20D + i) for i in range(7)] == [7, 8, 9, 11, 1, 2, 0xFFFFFFFF]
    writes = sim.bus.writes
    for bad, error in [([1] * 8, IndexError), ([2 ** 32], ValueError), ([-1], ValueError), (["1"], TypeError),
                       (b"\x00\x00\x00\x00", TypeError), (array.array("H", [1, 2]), TypeError), ("12", TypeError),
                       (array.array("Q", [1]), TypeError)] + [(array.array("L", [1]), TypeError)] * (array.array("L").itemsize == 8):
        with pytest.raises(error):
            mem.set(bad)
    with pytest.raises(IndexError, match="ENT_H1 has words 0 to 6"):
        mem.get(5, 3)
    with pytest.raises(TypeError, match="not a memory"):
        dev.AUD_CNTRL0.get()
    assert sim.bus.writes == writes and mem.get() == [7, 8, 9, 11, 1, 2, 0xFFFFFFFF], "nothing written"


def test_the_text_service_with_the_librarys_texts(host):
    bus, reports, status, dev = host
    dev.set_to_default()
    dev.service_write("DIN_CNTRL0", "FIFOLEVEL", ["0x20/h"])
    assert dev.service_read("DIN_CNTRL0", "FIFOLEVEL") == ["00000020/h"]
    assert dev.get_value_by_string("DIN_CNTRL0", "FIFOLEVEL") == ["32"]
    assert dev.DIN_CNTRL0.FIFOLEVEL.lock_state == zev.LockState.LOCKED
    assert dev.get_value_by_string("AUD_CNTRL0", "NOPE") == ["Function not found!"]
    with pytest.raises(zev.ServiceError) as refused:
        dev.service_write("DIN_CNTRL0", "FIFOLEVEL", ["256/d"])
    assert str(refused.value) == "Value limit exceeded: 256/d,"
    assert reports.reports[-1] == ("CSignalBase::ServiceWrite", "Value limit exceeded: 256/d,")
    with pytest.raises(zev.ServiceError, match="Invalid register submitted: NOPE"):
        dev.service_read("NOPE")
    with pytest.raises(zev.ServiceError, match=r"Invalid register submitted! : AUD_CNTRL0"):
        dev.lock("AUD_CNTRL0", "NOPE")
    dev.unlock("DIN_CNTRL0", "ALL")
    assert dev.DIN_CNTRL0.FIFOLEVEL.get() == 1 and dev.DIN_CNTRL0.FIFOLEVEL.lock_state == zev.LockState.UNLOCKED
    assert dev.DIN_CNTRL0.service_read("ROUND_MODE") == ["ROUND_18_BIT"]
    assert dev.snapshot().startswith("function [device,ZEV] = ZEV_DUMP()\n")
    log = io.StringIO()
    assert dev.logging("DIN_CNTRL0", "FIFOLEVEL", log)
    dev.DIN_CNTRL0.FIFOLEVEL.set(3)
    assert "FIFOLEVEL" in log.getvalue() and log.getvalue().endswith("\n")


def make_device():
    """Host objects that only the device refers to once this returns."""
    bus, reports, status = Bus(), Reports(), Status()
    return zev.Device(bus, reports, status)


def test_the_device_keeps_its_host_objects_alive():
    dev = make_device()
    signal = dev.DIN_MS_DET_LOW.MS_DET_LOW
    gc.collect()
    assert signal.set(7) and dev.bus.words[0x11A] == 7
    del dev
    gc.collect()
    assert signal.set(9) and signal.get(read_hw=True) == 9, "a signal keeps its device"


def test_bad_input_raises_and_writes_nothing(host):
    bus, reports, status, dev = host
    signal = dev.AUD_CNTRL0.TRIG_SEL
    for bad, error in [("3", TypeError), (3.0, TypeError), (None, TypeError), (True, TypeError),
                       (2 ** 32, ValueError), (2 ** 100, ValueError), (-1, ValueError), (8, ValueError)]:
        with pytest.raises(error):
            signal.set(bad)
    with pytest.raises(TypeError):
        signal.set(1, "now")
    assert bus.calls == [] and signal.get() is TRIG_SEL.MARKER_SIG_0
    with pytest.raises(AttributeError):
        dev.NO_SUCH_REGISTER
    with pytest.raises(AttributeError):
        dev.AUD_CNTRL0.NO_SUCH_SIGNAL
    with pytest.raises(TypeError):
        zev.Device(bus, bus, status)
    with pytest.raises(TypeError):
        dev.service_write("DIN_CNTRL0", "FIFOLEVEL", "1/d\0")
    with pytest.raises(TypeError, match="write method"):
        dev.logging("ALL", "ALL", "log.txt")
    bus.Read = lambda address, byte_count: [1, 2]
    with pytest.raises(ValueError, match="sequence of 1 word"):
        dev.DIN_MS_DET_LOW.MS_DET_LOW.get(read_hw=True)
    bus.Read = lambda address, byte_count: [2 ** 40]
    with pytest.raises(ValueError, match="not a 32-bit word"):
        dev.DIN_MS_DET_LOW.MS_DET_LOW.get(read_hw=True)


def test_enumerations_names_and_completion():
    sim = zev.SimulatedHost()
    dev = zev.Device(sim.bus, sim.utility, sim.status)
    assert [(m.name, m.value) for m in TRIG_SEL] == [("MARKER_SIG_%d" % i, i) for i in range(8)]
    assert dev.AUD_CNTRL0.TRIG_SEL.Enum is TRIG_SEL and dev.AUD_CNTRL0.MULT_HP.Enum is None
    assert len(zev.register_map) == 441
    assert sum(len(r.signals) for r in zev.register_map.values()) == 2316
    assert {"AUD_CNTRL0", "ENT_H1", "set_to_default", "service_write"} <= set(dir(dev))
    assert {"TRIG_SEL", "MULT_HP", "service_read"} <= set(dir(dev.AUD_CNTRL0))
    assert [r.name for r in dev.registers()] == list(zev.register_map)

    # The stubs editors read name every register, signal and enumerator as the package has them.
    with open(os.path.join(os.path.dirname(zev.__file__), "__init__.pyi")) as f:
        stubs = {c.name: c for c in ast.parse(f.read()).body if isinstance(c, ast.ClassDef)}

    def fields(cls):
        return {a.target.id: ast.unparse(a.annotation) for a in cls.body if isinstance(a, ast.AnnAssign)}
    stub_enums, device = {c.name: c for c in stubs["enums"].body}, fields(stubs["Device"])
    for name, reg in zev.register_map.items():
        assert device[name] == "_" + name
        assert fields(stubs["_" + name]) == {s: "_%s_%s" % (name, s) if sig.enumerators else "Signal"
                                             for s, sig in reg.signals.items()}
        assert {c.name: {a.targets[0].id: a.value.value for a in c.body} for c in stub_enums[name].body
                if isinstance(c, ast.ClassDef)} == {s: sig.enumerators for s, sig in reg.signals.items() if sig.enumerators}
