"""The same script on a device in this process and on one behind zevd: typed access with the
write modes, enumerations, memories, locks, the text service, snapshots, reports, logs and the
exceptions of bad arguments (checked before anything is sent), all with the same texts; and
what only a remote device has: other clients, a read-only server, a token file."""
import array
import copy
import enum
import io
import re

import pytest

import zev

TRIG_SEL = zev.enums.AUD_CNTRL0.TRIG_SEL


def test_typed_access_and_write_modes(side):
    """Enumerators, modes as zev.WriteMode, the answers as Python types (what each mode
    writes and answers: the conformance cases)."""
    dev = side.device
    reg = dev.AUD_CNTRL0
    assert reg.TRIG_SEL.set(TRIG_SEL.MARKER_SIG_3, zev.WriteMode.IMMEDIATE) is True
    reg.MULT_HP.set(5, zev.WriteMode.DEFERRED)
    reg.MULT_DE.set(1, zev.WriteMode.IF_CHANGED)
    assert reg.TRIG_SEL.get(read_hw=True) is TRIG_SEL.MARKER_SIG_3
    assert reg.MULT_HP.get(True) == 5 and type(reg.MULT_HP.get()) is int
    assert reg.get_all() == {"TRIG_SEL": TRIG_SEL.MARKER_SIG_3, "MULT_HP": 5, "SHIFT_HP": 0, "MULT_DE": 1,
                             "SHIFT_DE": 0}
    assert reg.read() == [3 | 5 << 3 | 1 << 12]
    values = dev.get_all(read_hw=True)
    assert len(values) == 429 and sum(len(v) for v in values.values()) == 2316
    assert values["AUD_CNTRL0"]["TRIG_SEL"] is TRIG_SEL.MARKER_SIG_3
    if not side.remote:
        assert side.host.bus.peek(0xE00) == 3 | 5 << 3 | 1 << 12


def test_memories(side):
    mem = side.device.ENT_H1
    assert mem.is_memory and mem.words == 7
    assert mem.set([1, 2, 0xFFFFFFFF], start=4) is True
    assert mem.set(array.array("I", [1, 2]), start=4) is False
    assert mem.get(4) == [1, 2, 0xFFFFFFFF]
    assert mem.get(4, read_hw=False) == [1, 2, 0xFFFFFFFF]
    assert mem.set(memoryview(array.array("I", [9, 10, 11, 12]))[::2], start=0)
    assert mem.get_array() == array.array("I", [9, 11, 0, 0, 1, 2, 0xFFFFFFFF])
    assert mem.read(0, 2) == [9, 11] and mem.read() == [9, 11, 0, 0, 1, 2, 0xFFFFFFFF]
    out = array.array("I", [0] * 3)
    assert mem.get_array(4, out=out) is out and list(out) == [1, 2, 0xFFFFFFFF]
    for bad, error in [([1] * 8, IndexError), ([2 ** 32], ValueError), ([-1], ValueError), (["1"], TypeError),
                       (b"\x00\x00\x00\x00", TypeError), (array.array("H", [1, 2]), TypeError), ("12", TypeError),
                       ([TRIG_SEL.MARKER_SIG_1], TypeError)]:
        with pytest.raises(error):
            mem.set(bad)
    with pytest.raises(IndexError, match="ENT_H1 has words 0 to 6"):
        mem.get(5, 3)
    with pytest.raises(TypeError, match="not a memory"):
        side.device.AUD_CNTRL0.get()
    assert mem.get() == [9, 11, 0, 0, 1, 2, 0xFFFFFFFF], "nothing written by the refused calls"


def test_locks_and_the_text_service(side):
    """The lock states as zev.LockState, a report's function, the register's and the signal's
    own methods (the device's answers through each door: the conformance cases)."""
    dev = side.device
    dev.service_write("DIN_CNTRL0", "FIFOLEVEL", ["0x20/h"])
    assert dev.DIN_CNTRL0.FIFOLEVEL.lock_state is zev.LockState.LOCKED
    with pytest.raises(zev.ServiceError) as refused:
        dev.service_write("DIN_CNTRL0", "FIFOLEVEL", ["256/d"])
    assert [r.function for r in refused.value.reports] == ["CSignalBase::ServiceWrite"]
    dev.unlock("DIN_CNTRL0", "ALL")
    assert dev.DIN_CNTRL0.FIFOLEVEL.lock_state is zev.LockState.UNLOCKED
    assert dev.DIN_CNTRL0.service_read("ROUND_MODE") == ["ROUND_18_BIT"]
    dev.ENT_H1.service_write(["1/d", "-2/d", "0xABC/h"], start=4)
    assert dev.ENT_H1.service_read(start=4, count=3) == ["00000001/h", "FFFFFFFE/h", "00000ABC/h"]
    assert dev.ENT_H1.lock_state is zev.LockState.LOCKED
    dev.ENT_H1.unlock()
    assert dev.ENT_H1.lock_state is zev.LockState.UNLOCKED
    dev.AUD_CNTRL0.TRIG_SEL.lock()
    assert dev.AUD_CNTRL0.TRIG_SEL.lock_state is zev.LockState.LOCKED
    dev.AUD_CNTRL0.TRIG_SEL.unlock()
    assert dev.AUD_CNTRL0.TRIG_SEL.value_text() == ["MARKER_SIG_0"]
    assert dev.snapshot().startswith("function [device,ZEV] = ZEV_DUMP()\n")
    assert (dev.name, dev.xml_version) == ("ZEV", "PD_ZEV.xml@@/main/kem_main/1")


def test_reports_reach_the_caller(side):
    """A call the device reported raises zev.ReportedError, or keeps its reports in
    last_reports() (which calls report what: the conformance cases)."""
    dev = side.device
    with pytest.raises(zev.ReportedError, match="No write access allowed") as raised:
        dev.PRI_SERVAL.SERVAL.set(1)
    assert raised.value.reports[0].access_denied and raised.value.result is True
    assert dev.last_reports() == raised.value.reports
    # Device-wide calls keep the refused directions of read-only registers in last_reports().
    assert dev.set_to_default() is True
    assert dev.last_reports() and all(r.access_denied for r in dev.last_reports())


def test_bad_arguments_raise_clearly_and_send_nothing(side):
    dev = side.device
    signal = dev.AUD_CNTRL0.TRIG_SEL
    signal.set(TRIG_SEL.MARKER_SIG_2)

    class Flags(enum.IntFlag):
        A = 1

    for bad, error in [("3", TypeError), (3.0, TypeError), (None, TypeError), (True, TypeError),
                       (2 ** 32, ValueError), (2 ** 100, ValueError), (-1, ValueError), (8, ValueError),
                       (zev.enums.DIN_CNTRL0.ROUND_MODE.ROUND_18_BIT, TypeError), (zev.WriteMode.DEFERRED, TypeError),
                       (zev.LockState.LOCKED, TypeError), (Flags.A, TypeError)]:
        with pytest.raises(error):
            signal.set(bad)
    for bad, error in [(True, TypeError), (3, ValueError), (-7, ValueError), ("now", TypeError),
                       (zev.LockState.LOCKED, TypeError), (1.0, TypeError)]:
        with pytest.raises(error, match="mode"):
            signal.set(1, bad)
    with pytest.raises(TypeError, match="read_hw"):
        signal.get("yes")
    mem, reg = dev.ENT_H1, dev.AUD_CNTRL0
    # The same texts on both devices; names the server would refuse are the library's to answer.
    for call, error, text in [
            (lambda: mem.get(0, -1), IndexError, "count must not be negative, not -1"),
            (lambda: mem.get(2, 3.0), TypeError, "count must be an int, not float"),
            (lambda: mem.get(2, 2 ** 32), IndexError, "count 4294967296 is beyond every memory"),
            (lambda: mem.get(2 ** 70), ValueError, "start %d is not a 32-bit word (0 to 4294967295)" % 2 ** 70),
            (lambda: mem.set([1], start=-1), IndexError, "start must not be negative, not -1"),
            (lambda: mem.set(b"\0\0\0\0"), TypeError,
             "a buffer of words must be one-dimensional unsigned 32-bit (format 'I'), not 'B'"),
            (lambda: dev.service_write("ENT_H1", "", ["1/d"] * 3, 5), IndexError,
             "range beyond the memory: ENT_H1 has words 0 to 6, the request names words 5 to 7"),
            (lambda: reg.service_read("TRIG_SEL", 1), IndexError,
             "AUD_CNTRL0 is a one-word register: no start or count beyond one word"),
            (lambda: reg.service_write(["1/d"], "", 1), IndexError,
             "AUD_CNTRL0 is a one-word register: no start or count beyond one word"),
            (lambda: dev.service_write("DIN_CNTRL0", "FIFOLEVEL", "1/d"), TypeError,
             "values must be a list of str, not str"),
            (lambda: dev.get_value_by_string("ENT_H1", ""), zev.ServiceError, "Function not found!"),
            (lambda: dev.get_value_by_string("", "X"), zev.ServiceError, "Register not found!"),
            (lambda: dev.service_read("A-B"), zev.ServiceError, "Invalid register submitted: A-B"),
            (lambda: reg.lock("a b"), zev.ServiceError, "Invalid signal submitted! : a b"),
            (lambda: dev.logging("", "ALL", None, False), zev.ServiceError, "Invalid register submitted: ")]:
        with pytest.raises(error) as raised:
            call()
        assert str(raised.value) == text
    assert signal.get(True) is TRIG_SEL.MARKER_SIG_2, "nothing was written"
    assert signal.set(TRIG_SEL.MARKER_SIG_4, zev.WriteMode.IMMEDIATE) and signal.set(5, 0) and signal.get() == 5


def test_the_attribute_tree_is_fixed(side):
    dev = side.device
    reg = dev.AUD_CNTRL0
    signal = reg.TRIG_SEL
    assert isinstance(dev, zev.Device)
    for attempt, text in [
            (lambda: setattr(reg, "TRIG_SEL", 3), "AUD_CNTRL0.TRIG_SEL is a signal: write it with .set(value, mode)"),
            (lambda: setattr(reg, "TRIG_SELL", 3), "AUD_CNTRL0 has no signal TRIG_SELL to set (its attributes are fixed)"),
            (lambda: setattr(dev, "AUD_CNTRL0", 3), "AUD_CNTRL0 is a register: write its signals with .set(value, mode)"),
            (lambda: setattr(dev, "AUD_CNTRL00", 3),
             "zev.Device has no register AUD_CNTRL00 to set (its attributes are fixed)"),
            (lambda: setattr(signal, "Enum", 3),
             "AUD_CNTRL0.TRIG_SEL.Enum cannot be changed: a signal's attributes are fixed"),
            (lambda: delattr(reg, "TRIG_SEL"), "AUD_CNTRL0.TRIG_SEL is a signal: write it with .set(value, mode)"),
            (lambda: dev.NO_SUCH_REGISTER, "zev.Device has no register or attribute NO_SUCH_REGISTER"),
            (lambda: reg.NO_SUCH_SIGNAL, "AUD_CNTRL0 has no signal or attribute NO_SUCH_SIGNAL"),
            (lambda: signal.nope, "AUD_CNTRL0.TRIG_SEL has no attribute nope")]:
        with pytest.raises(AttributeError) as raised:
            attempt()
        assert str(raised.value) == text
    assert reg.TRIG_SEL is signal and signal.Enum is TRIG_SEL and reg.MULT_HP.Enum is None
    assert signal.get(True) is TRIG_SEL.MARKER_SIG_0, "nothing was written"
    for thing in (dev, reg, signal):
        with pytest.raises(TypeError):
            copy.copy(thing)
        with pytest.raises(TypeError):
            copy.deepcopy(thing)
    assert [r.name for r in dev.registers()] == list(zev.register_map)
    assert [s.name for s in reg.signals()] == ["TRIG_SEL", "MULT_HP", "SHIFT_HP", "MULT_DE", "SHIFT_DE"]
    assert {"AUD_CNTRL0", "ENT_H1", "set_to_default", "service_write"} <= set(dir(dev))


def test_logging_to_a_file(side, tmp_path):
    dev = side.device
    path = tmp_path / "log.txt"
    with open(path, "w") as log:
        assert dev.logging("DIN_CNTRL0", "FIFOLEVEL", log)
        dev.DIN_CNTRL0.FIFOLEVEL.set(3)
        dev.DIN_CNTRL0.ROUND_MODE.set(0)
        dev.logging("DIN_CNTRL0", "FIFOLEVEL", None, False)
        dev.DIN_CNTRL0.FIFOLEVEL.set(4)
    lines = path.read_text().splitlines()
    assert lines == ["Register: DIN_CNTRL0 Signal: FIFOLEVEL Changed from value: 1 to value: 3"]
    with pytest.raises(TypeError, match="text file"):
        dev.logging("DIN_CNTRL0", "FIFOLEVEL", open(path, "wb"))
    closed = open(path, "w")
    closed.close()
    with pytest.raises(ValueError, match="closed"):
        dev.logging("DIN_CNTRL0", "FIFOLEVEL", closed)


class FlakyLog:
    """A text file whose first write raises."""

    def __init__(self):
        self.lines, self.fail = [], 1

    def write(self, text):
        if self.fail:
            self.fail -= 1
            raise OSError("disk full")
        self.lines.append(text)


def test_a_log_write_that_raises_is_raised_after_the_call_and_later_lines_arrive(side):
    dev = side.device
    log = FlakyLog()
    assert dev.logging("AUD_CNTRL0", "ALL", log)
    dev.service_write("AUD_CNTRL0", "", ["FFFFFFFF/h"])
    with pytest.raises(OSError, match="disk full"):
        dev.unlock("AUD_CNTRL0")  # ten lines: each signal unlocked, then changed
    assert len(log.lines) == 9
    assert log.lines[-1] == "Register: AUD_CNTRL0 Signal: SHIFT_DE Changed from value: 3 to value: 3\n"
    dev.AUD_CNTRL0.MULT_HP.set(5)
    assert log.lines[-1] == "Register: AUD_CNTRL0 Signal: MULT_HP Changed from value: 63 to value: 5\n"


def test_a_remote_client_lets_go_of_its_own_logs_only(zevd):
    url, token_file = zevd
    with zev.connect(url, token_file=token_file) as dev, zev.connect(url, token_file=token_file) as other:
        log = io.StringIO()
        dev.logging("DIN_CNTRL0", "FIFOLEVEL", log)
        assert other.logging("ALL", "ALL", None, False) is False
        dev.DIN_CNTRL0.FIFOLEVEL.set(9)
        dev.logging("DIN_CNTRL0", "FIFOLEVEL", None, False)
        dev.DIN_CNTRL0.FIFOLEVEL.set(10)
    lines = log.getvalue().splitlines()
    assert len(lines) == 1 and re.fullmatch(r"Register: DIN_CNTRL0 Signal: FIFOLEVEL Changed from value: \d+ to value: 9",
                                            lines[0]), "the other client's letting go ended nothing of this one's"


def test_a_read_only_server_answers_every_read(read_only_zevd):
    url, token_file = read_only_zevd  # its token file has spaces, a CR and a comment line, as zevd takes it
    with zev.connect(url, token_file=token_file) as dev:
        assert dev.read_only
        assert dev.AUD_CNTRL0.TRIG_SEL.get() is TRIG_SEL.MARKER_SIG_0 and dev.AUD_CNTRL0.read() == [0]
        assert dev.ENT_H1.get(read_hw=False) == [0] * 7 and dev.ENT_H1.read(5) == [0, 0]
        assert dev.AUD_CNTRL0.get_all()["TRIG_SEL"] is TRIG_SEL.MARKER_SIG_0 and len(dev.get_all()) == 429
        # (A typed get of the hardware, a set, a register's defaults: the conformance cases.)
        with pytest.raises(zev.ServiceError, match="zevd answered 403"):
            dev.get_all(read_hw=True)
