"""Python's own, alike on a device in this process and behind zevd (enumerations, a fixed tree,
exceptions, arguments checked before anything is sent, buffers, text files), and what only a
remote device has; what each operation answers is the conformance cases' (tests/conformance)."""
import array
import contextlib
import copy
import enum
import io
import json
import os
import pathlib
import pickle
import re
import subprocess

import pytest

import zev

TRIG_SEL = zev.enums.AUD_CNTRL0.TRIG_SEL
LOCKED, UNLOCKED = zev.LockState.LOCKED, zev.LockState.UNLOCKED


def test_enumerations_lock_states_every_signal_at_once_and_reports(dev):
    reg = dev.AUD_CNTRL0
    assert reg.TRIG_SEL.set(TRIG_SEL.MARKER_SIG_3, zev.WriteMode.IMMEDIATE) and not reg.MULT_HP.set(5, 1)  # 1: DEFERRED
    assert reg.get_all() == {"TRIG_SEL": TRIG_SEL.MARKER_SIG_3, "MULT_HP": 5, "SHIFT_HP": 0, "MULT_DE": 0, "SHIFT_DE": 0}
    values = dev.get_all(read_hw=True)
    assert len(values) == 429 and sum(len(v) for v in values.values()) == 2316
    assert values["AUD_CNTRL0"]["TRIG_SEL"] is TRIG_SEL.MARKER_SIG_3 and type(values["AUD_CNTRL0"]["MULT_HP"]) is int
    sel = dev.DIN_CNTRL0.SEL_SIG_RE  # a value no enumerator names comes back as the enumeration's stand-in
    assert sel.set(3) and sel.get().name == "UNNAMED_3" and sel.get() is sel.Enum(3) and len(sel.Enum) == 3
    dev.service_write("DIN_CNTRL0", "FIFOLEVEL", ["20/h"])
    assert dev.DIN_CNTRL0.FIFOLEVEL.lock_state is LOCKED and dev.ENT_H1.lock_state is UNLOCKED
    assert (dev.name, dev.xml_version) == ("ZEV", "PD_ZEV.xml@@/main/kem_main/1")
    with pytest.raises(zev.ReportedError, match="No write access allowed") as raised:
        dev.PRI_SERVAL.SERVAL.set(1)
    e = raised.value
    assert e.result is True and dev.last_reports() == e.reports and e.reports[0].function == "CParallelRead::Write"
    # Device-wide calls meet the refused directions of read-only registers as part of their work.
    assert dev.set_to_default() is True and dev.last_reports() and all(r.access_denied for r in dev.last_reports())


def test_memories_take_and_give_python_buffers(dev):
    mem = dev.ENT_H1
    assert mem.is_memory and mem.words == 7 and not dev.AUD_CNTRL0.is_memory
    assert mem.set(array.array("I", [1, 2, 0xFFFFFFFF]), start=4) is True and mem.set([1, 2], start=4) is False
    assert mem.set(memoryview(array.array("I", [9, 10, 11, 12]))[::2]) is True
    assert mem.get_array() == array.array("I", [9, 11, 0, 0, 1, 2, 0xFFFFFFFF])
    numpy = pytest.importorskip("numpy")
    out = numpy.zeros(3, dtype=numpy.uint32)
    assert mem.get_array(4, out=out) is out and out.tolist() == [1, 2, 0xFFFFFFFF]
    with pytest.raises(TypeError):
        mem.get_array(4, out=numpy.zeros(3, dtype=numpy.int64))
    assert mem.set(numpy.array([5, 6], dtype=numpy.uint32)) and mem.get(0, 2) == [5, 6]
    assert dev.AUD_CNTRL0.TRIG_SEL.set(numpy.uint32(3)) and dev.AUD_CNTRL0.TRIG_SEL.get() is TRIG_SEL.MARKER_SIG_3


def test_a_register_and_a_signal_have_the_device_calls_of_their_own(dev):
    mem, signal = dev.ENT_H1, dev.AUD_CNTRL0.TRIG_SEL
    mem.service_write(["1/d", "-2/d"], start=4)
    assert mem.service_read(start=4, count=2) == ["00000001/h", "FFFFFFFE/h"] and mem.lock_state is LOCKED
    mem.unlock()
    signal.lock()
    assert mem.lock_state is UNLOCKED and signal.lock_state is LOCKED
    signal.service_write(["MARKER_SIG_2"])
    assert signal.service_read() == signal.value_text() == dev.AUD_CNTRL0.service_read("TRIG_SEL") == ["MARKER_SIG_2"]
    signal.unlock()
    assert signal.lock_state is UNLOCKED and signal.value_text() == ["MARKER_SIG_0"]


def test_bad_arguments_raise_their_own_class_and_send_nothing(dev):
    signal, mem = dev.AUD_CNTRL0.TRIG_SEL, dev.ENT_H1
    signal.set(TRIG_SEL.MARKER_SIG_2)
    mem.set([1, 2], start=5)
    for call, cases in [
            (signal.set, [("3", TypeError), (3.0, TypeError), (None, TypeError), (True, TypeError), (2 ** 32, ValueError),
                          (2 ** 100, ValueError), (-1, ValueError), (zev.WriteMode.DEFERRED, TypeError),
                          (zev.enums.DIN_CNTRL0.ROUND_MODE.ROUND_18_BIT, TypeError), (enum.IntFlag("F", "A").A, TypeError)]),
            (lambda mode: signal.set(1, mode), [(True, TypeError), (3, ValueError), (-7, ValueError), ("now", TypeError),
                                                (zev.LockState.LOCKED, TypeError), (1.0, TypeError)]),
            (mem.set, [([2 ** 32], ValueError), ([-1], ValueError), (["1"], TypeError), ("12", TypeError),
                       (array.array("H", [1, 2]), TypeError), ([TRIG_SEL.MARKER_SIG_1], TypeError)])]:
        for bad, error in cases:
            with pytest.raises(error):
                call(bad)
    # The same texts on both devices; names the server would refuse are the library's to answer.
    for call, error, text in [
            (lambda: signal.get("yes"), TypeError, "read_hw must be True or False, not 'yes'"),
            (lambda: mem.get(0, -1), IndexError, "count must not be negative, not -1"),
            (lambda: mem.get(2, 3.0), TypeError, "count must be an int, not float"),
            (lambda: mem.get(2, 2 ** 32), IndexError, "count 4294967296 is beyond every memory"),
            (lambda: mem.get(2 ** 70), ValueError, "start %d is not a 32-bit word (0 to 4294967295)" % 2 ** 70),
            (lambda: mem.set([1], start=-1), IndexError, "start must not be negative, not -1"),
            (lambda: mem.set(b"\0"), TypeError,
             "a buffer of words must be one-dimensional unsigned 32-bit (format 'I'), not 'B'"),
            (lambda: dev.service_write("DIN_CNTRL0", "", "1/d"), TypeError, "values must be a list of str, not str"),
            (lambda: dev.get_value_by_string("", "X"), zev.ServiceError, "Register not found!"),
            (lambda: dev.service_read("A-B"), zev.ServiceError, "Invalid register submitted: A-B"),
            (lambda: dev.AUD_CNTRL0.lock("a b"), zev.ServiceError, "Invalid signal submitted! : a b"),
            (lambda: dev.logging("", "ALL", None, False), zev.ServiceError, "Invalid register submitted: "),
            # More than a request takes is that, before any range (as zevd bounds a body).
            (lambda: mem.set([0] * 65537, start=8), ValueError, "too many words: at most 65536 in one request"),
            (lambda: mem.service_write(["1/d"] * 65537, start=8), ValueError, "too many values: at most 65536"),
            (lambda: dev.AUD_CNTRL0.service_write(["1/d"] * 65537), ValueError, "too many values: at most 65536"),
            (lambda: signal.service_write(["1/d"] * 65537), ValueError, "too many values: at most 65536"),
            (lambda: mem.service_write(["0000000000000001/h"] * 65537), ValueError, "too many values: at most 65536")]:
        with pytest.raises(error) as raised:
            call()
        assert str(raised.value) == text
    assert signal.get(True) is TRIG_SEL.MARKER_SIG_2 and mem.get(5) == [1, 2], "nothing was written"
    # A refusal before the device leaves the last call's reports; a call that reports nothing
    # clears them, though a remote device has nothing to ask its server.
    for call, refused in [(lambda: dev.service_read("ENT_H1", "", 9), IndexError), (lambda: mem.set([]), ValueError),
                          (lambda: dev.apply_set({"format": "?"}), zev.ServiceError), (dev.ENT_H1.get_all, None),
                          (lambda: dev.logging("AUD_CNTRL0", "TRIG_SEL", None, False), None),
                          (lambda: dev.save_set(registers=["AUD_CNTRL0"]), None)]:
        with pytest.raises(zev.ReportedError):
            dev.PRI_SERVAL.SERVAL.set(1)
        with pytest.raises(refused) if refused else contextlib.nullcontext():
            call()
        assert bool(dev.last_reports()) is bool(refused)


def test_the_attribute_tree_is_fixed(dev):
    reg, signal = dev.AUD_CNTRL0, dev.AUD_CNTRL0.TRIG_SEL
    for attempt in [lambda: setattr(reg, "TRIG_SEL", 3), lambda: setattr(reg, "TRIG_SELL", 3),
                    lambda: setattr(dev, "AUD_CNTRL0", 3), lambda: setattr(dev, "AUD_CNTRL00", 3),
                    lambda: setattr(signal, "Enum", 3), lambda: delattr(reg, "TRIG_SEL"),
                    lambda: dev.NO_SUCH_REGISTER, lambda: reg.NO_SUCH_SIGNAL, lambda: signal.nope]:
        with pytest.raises(AttributeError):
            attempt()
    assert isinstance(dev, zev.Device) and reg.TRIG_SEL is signal and signal.Enum is TRIG_SEL and reg.MULT_HP.Enum is None
    assert signal.get(True) is TRIG_SEL.MARKER_SIG_0, "nothing was written"
    for thing, duplicate in [(t, d) for t in (dev, reg, signal) for d in (copy.copy, copy.deepcopy, pickle.dumps)]:
        with pytest.raises(TypeError):
            duplicate(thing)
    assert [r.name for r in dev.registers()] == list(zev.register_map) and [s.name for s in reg.signals()] == [
        "TRIG_SEL", "MULT_HP", "SHIFT_HP", "MULT_DE", "SHIFT_DE"]
    assert {"AUD_CNTRL0", "ENT_H1", "set_to_default", "service_write"} <= set(dir(dev))


class FlakyLog(list):
    """A text file whose first write raises."""

    def write(self, text):
        self.append(text)
        if len(self) == 1:
            raise OSError("disk full")


def test_logs_go_to_text_files_and_a_failing_write_is_raised_after_the_call(dev):
    log = io.StringIO()
    dev.DIN_CNTRL0.FIFOLEVEL.logging(log)  # the signal's own call names its register and itself
    dev.DIN_CNTRL0.FIFOLEVEL.set(3)
    assert log.getvalue() == "Register: DIN_CNTRL0 Signal: FIFOLEVEL Changed from value: 1 to value: 3\n"
    saved = json.loads(dev.save_set(registers=["DIN_CNTRL0"]))
    dev.DIN_CNTRL0.FIFOLEVEL.set(4)
    dev.apply_set(saved)  # an applied set is logged as any change (a remote client has it in the answer)
    assert log.getvalue().splitlines()[-1] == "Register: DIN_CNTRL0 Signal: FIFOLEVEL Changed from value: 4 to value: 3"
    log.close()
    with pytest.raises(ValueError, match="closed"):
        dev.logging("DIN_CNTRL0", "FIFOLEVEL", log)
    with pytest.raises(TypeError, match="text file"):
        dev.DIN_CNTRL0.FIFOLEVEL.logging(io.BytesIO())
    log = FlakyLog()
    dev.logging("AUD_CNTRL0", "ALL", log)
    dev.service_write("AUD_CNTRL0", "", ["FFFFFFFF/h"])
    with pytest.raises(OSError, match="disk full"):
        dev.unlock("AUD_CNTRL0")  # ten lines: each signal unlocked, then changed
    assert len(log) == 10 and log[-1].endswith("Signal: SHIFT_DE Changed from value: 3 to value: 3\n")
    dev.AUD_CNTRL0.MULT_HP.set(5)
    assert log[-1] == "Register: AUD_CNTRL0 Signal: MULT_HP Changed from value: 63 to value: 5\n"


def test_the_connection_its_token_and_a_clients_own_logs(zevd):
    url, token_file = zevd
    with zev.connect(url, token=pathlib.Path(token_file).read_text().strip()) as dev:
        with pytest.raises(AttributeError, match="no host objects"):
            dev.bus
    assert dev._device.connection.sock is None, "the with block closed the connection"
    assert isinstance(dev.AUD_CNTRL0.TRIG_SEL.get(), TRIG_SEL), "a later call opens it again"
    dev.close()
    with pytest.raises(zev.DeviceConnectionError, match="refused the token"):
        zev.connect(url, token="not-the-token-0123456789")
    with pytest.raises(zev.DeviceConnectionError, match="cannot reach"):
        zev.connect("http://127.0.0.1:1", token_file=token_file)  # a port nothing listens on
    with zev.connect(url, token_file=token_file) as dev, zev.connect(url, token_file=token_file) as other:
        log = io.StringIO()
        dev.logging("DIN_CNTRL0", "FIFOLEVEL", log)
        assert other.logging("ALL", "ALL", None, False) is False
        dev.DIN_CNTRL0.FIFOLEVEL.set(9)
        dev.logging("DIN_CNTRL0", "FIFOLEVEL", None, False)
        dev.DIN_CNTRL0.FIFOLEVEL.set(10)
    assert re.fullmatch(r"Register: DIN_CNTRL0 Signal: FIFOLEVEL Changed from value: \d+ to value: 9\n", log.getvalue()), \
        "the other client's letting go ended nothing of this one's"


def test_a_read_only_server_answers_every_read(read_only_zevd):
    with zev.connect(read_only_zevd[0], token_file=read_only_zevd[1]) as dev:  # a token file as zevd takes it
        assert dev.read_only
        assert dev.AUD_CNTRL0.TRIG_SEL.get() is TRIG_SEL.MARKER_SIG_0 and dev.AUD_CNTRL0.read() == [0]
        assert dev.ENT_H1.get(read_hw=False) == [0] * 7 and dev.ENT_H1.read(5) == [0, 0]
        assert dev.AUD_CNTRL0.get_all()["TRIG_SEL"] is TRIG_SEL.MARKER_SIG_0 and len(dev.get_all()) == 429
        with pytest.raises(zev.ServiceError, match="zevd answered 403"):
            dev.get_all(read_hw=True)
        saved = json.loads(dev.save_set(registers=["AUD_CNTRL0"]))
        with pytest.raises(zev.ReportedError):
            dev.service_read("DIN_STROBE")
        with pytest.raises(zev.ServiceError, match="zevd answered 403: the server is read-only: sets/apply"):
            dev.apply_set(saved)
        assert dev.last_reports(), "a refusal before the device leaves the last call's reports"


def test_register_sets_are_zevctls_files_and_apply_per_field_and_per_word(dev, request, tmp_path):
    names = ["AUD_CNTRL0", "ENT_H1"]
    dev.ENT_H1.set([1, 2, 3])
    path = tmp_path / "set.json"
    text = dev.save_set(path, registers=names)
    assert path.read_text() == text and json.loads(text)["format"] == "rl_zev register set 1"
    # zevctl save writes the same file of the same values, byte for byte.
    zevctl = os.environ.get("ZEVCTL")
    if zevctl:
        url, token_file = request.getfixturevalue("zevd")
        with zev.connect(url, token_file=token_file) as served:
            served.unlock_all()
            served.set_to_default()
            served.ENT_H1.set([1, 2, 3])
        saved = subprocess.run([zevctl, "--connect", url, "--token-file", token_file, "save", "-"] + names,
                               capture_output=True, text=True, check=True)
        assert saved.stdout == text
    # The device moved away, field and word: compared, then applied back one field and one word.
    dev.AUD_CNTRL0.TRIG_SEL.set(TRIG_SEL.MARKER_SIG_3)
    dev.ENT_H1.set([7, 8], start=1)
    assert [(d["register"], d.get("signal", d.get("word"))) for d in dev.compare_set(str(path))] == [
        ("AUD_CNTRL0", "TRIG_SEL"), ("ENT_H1", 1), ("ENT_H1", 2)]
    with open(path) as f:
        applied = dev.apply_set(f, only=["AUD_CNTRL0.TRIG_SEL", {"register": "ENT_H1", "start": 2, "count": 1}])
    assert (applied["written"], applied["refused"]) == (2, 0)
    assert [(d["register"], d.get("word")) for d in dev.compare_set(json.loads(text))] == [("ENT_H1", 1)]
    # Against the defaults; a set that breaks a rule writes nothing and says why.
    assert dev.compare_set(registers=["AUD_CNTRL0"]) == []
    with pytest.raises(zev.ServiceError, match="not a register set"):
        dev.apply_set({"format": "another", "registers": []})
    assert [d["word"] for d in dev.compare_set(json.loads(text))] == [1]
    for call, error in ((lambda: dev.save_set(registers="AUD_CNTRL0"), TypeError),
                        (lambda: dev.compare_set(registers=[]), ValueError),
                        (lambda: dev.apply_set(str(path), only="AUD_CNTRL0"), TypeError)):
        with pytest.raises(error):
            call()
