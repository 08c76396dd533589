"""The zev package in this process: host objects written in Python and their exceptions,
Ctrl-C, threads and the GIL, reports routed to their own device, what devices and log files
keep alive, the simulator's objects from Python, reads without a transfer, docs and stubs."""
import array
import ast
import concurrent.futures
import gc
import inspect
import io
import os
import signal
import subprocess
import sys
import threading
import time
import weakref

import pytest

import zev

TRIG_SEL = zev.enums.AUD_CNTRL0.TRIG_SEL
STATUS, READY = 24, 0x10000


class Bus(zev.HWAccess):
    """A bus of Python's own in front of the simulator: every call recorded, `fail` maps "W"
    or "R" to the exception that call raises, and a wait lets other threads in."""

    def __init__(self):
        super().__init__()
        self.sim, self.calls, self.fail = zev.SimBus(), [], {}

    def Write(self, address, words, byte_count):
        self.calls.append(("W", address, list(words), byte_count))
        if "W" in self.fail:
            raise self.fail["W"]
        self.sim.Write(address, words, byte_count)

    def Read(self, address, byte_count):
        self.calls.append(("R", address, byte_count))
        if "R" in self.fail:
            raise self.fail["R"]
        return self.sim.Read(address, byte_count)

    def Wait(self, duration):
        time.sleep(0)


class Reports(zev.Utility):
    def __init__(self):
        super().__init__()
        self.reports, self.raise_on_report = [], None

    def ReportError(self, file, line, function, message):
        self.reports.append(message)
        if self.raise_on_report:
            raise self.raise_on_report

    ReportAccessDenied = ReportError

    def StopWaiting(self):
        return False


class Status(zev.StatusRegister):
    def __init__(self):
        super().__init__()
        self.calls = []

    def PrepareSet(self, word):
        self.calls.append("set")
        return 0

    def PrepareReset(self, word):
        self.calls.append("reset")
        return word

    PrepareResetAll = PrepareReset


@pytest.fixture
def dev():
    """A device on host objects written in Python: the device keeps them, as dev.bus, .utility, .status."""
    return zev.Device(Bus(), Reports(), Status())


def simulated():
    host = zev.SimulatedHost()
    return zev.Device(host.bus, host.utility, host.status)


def test_python_host_objects_get_the_calls_their_answers_are_checked_and_their_exceptions_raised(dev):
    bus, reports, status = dev.bus, dev.utility, dev.status
    assert dev.AUD_CNTRL0.TRIG_SEL.set(TRIG_SEL.MARKER_SIG_3) and bus.calls == [("W", 0xE00, [3], 3)]
    sr0 = dev.PRI_STATUSREG1.SR0_READ_POSTPROC_END
    assert sr0.set(1) and sr0.set(0) and status.calls == ["set", "reset"] and reports.reports == []
    bus.sim.poke(0xE00, 6 | 9 << 3)  # read back through the status and data registers
    assert dev.AUD_CNTRL0.TRIG_SEL.get(read_hw=True) is TRIG_SEL.MARKER_SIG_6 and dev.AUD_CNTRL0.MULT_HP.get() == 9
    for words, text in (([1, 2], "sequence of 1 word"), ([2 ** 40], "not a 32-bit word")):
        bus.Read = lambda address, byte_count: words
        with pytest.raises(ValueError, match=text):
            dev.DIN_MS_DET_LOW.MS_DET_LOW.get(read_hw=True)
    with pytest.raises(TypeError, match="utility must be a zev.Utility"):
        zev.Device(bus, bus, status)
    del bus.Read
    bus.fail["R"] = fault = ConnectionAbortedError("cable pulled")
    with pytest.raises(ConnectionAbortedError) as raised:
        dev.AUD_CNTRL0.TRIG_SEL.get(read_hw=True)
    # Inside the read-back the library catches it (and reports); the call raises it all the same.
    assert raised.value is fault and reports.reports[-1] == ",Unknown error!"
    with pytest.raises(ConnectionAbortedError):
        dev.DIN_MS_DET_LOW.MS_DET_LOW.get(read_hw=True)
    for interrupt in (KeyboardInterrupt(), SystemExit(3)):
        bus.fail["R"] = interrupt
        with pytest.raises(type(interrupt)):
            dev.AUD_CNTRL0.TRIG_SEL.get(True)
        calls = len(bus.calls)
        with pytest.raises(type(interrupt)):
            dev.ENT_H1.get()
        assert bus.calls[calls:] == [("W", STATUS, [READY], 4), ("R", 0x20D, 4)], "the call ends where it was interrupted"
    bus.fail = {"W": KeyError("write")}
    with pytest.raises(KeyError):
        dev.DIN_MS_DET_LOW.MS_DET_LOW.set(3)
    bus.fail, reports.raise_on_report = {}, ValueError("report refused")
    with pytest.raises(ValueError, match="report refused"):
        dev.service_write("DIN_CNTRL0", "FIFOLEVEL", ["256/d"])
    reports.raise_on_report = None
    assert dev.DIN_MS_DET_LOW.MS_DET_LOW.set(4) and bus.sim.peek(0x11A) == 4, "the device goes on"


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="Ctrl-C reaches the main thread")
@pytest.mark.parametrize("call", ["memory", "snapshot"])
def test_ctrl_c_ends_a_long_call_within_100_ms(call):
    dev = simulated()
    dev.bus.ready_after_polls = 400 if call == "memory" else 0  # 0: every read-back polls to its limit
    sent = []
    # Python's own Ctrl-C handler, whatever this process inherited (a job started in the
    # background by a shell ignores SIGINT, and Python then installs none).
    inherited = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        threading.Timer(0.15, lambda: sent.append(time.process_time()) or os.kill(os.getpid(), signal.SIGINT)).start()
        with pytest.raises(KeyboardInterrupt):
            dev.SWP_DATA_RAM.get(read_hw=True) if call == "memory" else dev.snapshot()
    finally:
        signal.signal(signal.SIGINT, inherited)
    # The work done after Ctrl-C, in the process's CPU time: what a loaded machine's waiting
    # for a core adds to the clock is not the call's.
    ended = time.process_time()
    assert sent and ended - sent[0] < 0.1, "ended after %.0f ms of work after Ctrl-C" % ((ended - sent[0]) * 1e3)
    dev.bus.ready_after_polls = 1
    assert dev.AUD_CNTRL0.TRIG_SEL.set(3) and dev.AUD_CNTRL0.TRIG_SEL.get(True) is TRIG_SEL.MARKER_SIG_3


def test_threads_share_a_device_and_run_while_it_works(dev):
    dev.bus.sim.poke(0xE00, 5)  # AUD_CNTRL0.TRIG_SEL
    dev.bus.sim.poke(0x100, 200 << 2)  # DIN_CNTRL0.FIFOLEVEL

    def wrong(signal, expected):
        return [value for value in (signal.get(read_hw=True) for _ in range(300)) if value != expected]
    slow = simulated()
    slow.bus.ready_after_polls = 40
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        reads = [pool.submit(wrong, dev.AUD_CNTRL0.TRIG_SEL, TRIG_SEL.MARKER_SIG_5),
                 pool.submit(wrong, dev.DIN_CNTRL0.FIFOLEVEL, 200)]
        assert [r.result() for r in reads] == [[], []], "two threads met inside the device's read-back"
        call, ticks, start = pool.submit(slow.SWP_DATA_RAM.get, read_hw=True), 0, time.perf_counter()
        while not call.done():
            ticks += 1
            time.sleep(0.001)
    # Holding the GIL, the call would let this thread count only at its ends; on a loaded machine
    # the 1 ms sleeps last longer, so the count is not held to the call's length.
    assert time.perf_counter() - start > 0.05 and ticks >= 10, "the GIL was not released (%d ticks)" % ticks


def test_reports_reach_their_own_device_and_what_devices_and_log_files_keep_alive():
    hosts = [zev.SimulatedHost() for _ in range(3)]
    devices = [zev.Device(h.bus, h.utility, h.status) for h in hosts]
    del devices[0]  # an old device dropped (a failed test's) changes nothing for the others
    gc.collect()
    for i, dev in enumerate(devices):
        for _ in range(i + 1):
            with pytest.raises(zev.ReportedError):
                dev.PRI_SERVAL.SERVAL.set(1)
    assert [len(h.utility.reports) for h in hosts] == [0, 1, 2]
    # In a child process: the fault this guards against, a report to the freed device, was a crash.
    code = ("import gc, zev\nbus, status = zev.SimBus(), zev.SimStatusRegister()\nzev.Device(bus, zev.ReportLog(), status)\n"
            "gc.collect()\nlog = zev.ReportLog()\ndev = zev.Device(bus, log, status)\n"
            "try:\n    dev.PRI_SERVAL.SERVAL.set(1)\nexcept zev.ReportedError as e:\n    print(e.reports[0].message)\n"
            "print([r.message for r in log.reports])\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [",No write access allowed!", "[',No write access allowed!']"]
    dev = simulated()
    files = [io.StringIO() for _ in range(100)]
    alive = [weakref.ref(f) for f in files]
    for f in files:
        dev.logging("DIN_CNTRL0", "FIFOLEVEL", f)
    dev.DIN_CNTRL0.ROUND_MODE.logging(files[0])
    del files, f
    gc.collect()
    assert sum(r() is not None for r in alive) == 2, "the latest file and the one ROUND_MODE logs to"
    dev.logging("ALL", "ALL", None, False)
    gc.collect()
    assert sum(r() is not None for r in alive) == 0
    bus = WatchedBus()
    bus.dev = zev.Device(bus, zev.ReportLog(), zev.SimStatusRegister())
    bus.signal, alive = bus.dev.AUD_CNTRL0.TRIG_SEL, weakref.ref(bus)
    del bus
    gc.collect()
    assert alive() is None, "a cycle through the device is collected"


class WatchedBus(zev.SimBus):
    def __init__(self):
        super().__init__()
        self.seen = []

    def Write(self, address, words, byte_count):
        self.seen.append(("W", address, list(words)))
        super().Write(address, words, byte_count)

    def Read(self, address, byte_count):
        words = super().Read(address, byte_count)
        self.seen.append(("R", address, list(words)))
        return words


def test_the_simulators_objects_and_reads_without_a_transfer(dev):
    bus, log = WatchedBus(), zev.ReportLog()
    watched = zev.Device(bus, log, zev.SimStatusRegister())
    watched.DIN_MS_DET_LOW.MS_DET_LOW.set(7)
    assert watched.DIN_MS_DET_LOW.MS_DET_LOW.get(read_hw=True) == 7
    assert bus.seen == [("W", 0x11A, [7]), ("R", 0x11A, [7])] and bus.peek(0x11A) == 7
    with pytest.raises(TypeError, match="text file"):
        bus.set_trace(io.BytesIO())
    mem = watched.SWP_DATA_RAM
    mem.set([7, 8, 9], start=100)
    bus.poke(0x10000 + 100, 70)  # the device changes a word by itself: read() and get(read_hw=False) keep theirs
    assert mem.read(100, 3) == [7, 8, 9] == mem.get(100, 3, read_hw=False)
    assert mem.get_array(100, 3) == array.array("I", [70, 8, 9])
    with pytest.raises(zev.ReportedError):
        watched.PRI_SERVAL.SERVAL.set(1)
    assert log.reports is log.reports and [r.function for r in log.reports] == ["CParallelRead::Write"]
    log.reports.clear()
    assert log.reports == [], "the list is the log's own"
    dev.bus.Read = lambda address, byte_count: [dev.AUD_CNTRL0.TRIG_SEL.get()]  # the bus calls its own device
    with pytest.raises(zev.NestedCallError, match="from inside its own call"):
        dev.DIN_MS_DET_LOW.MS_DET_LOW.get(read_hw=True)
    del dev.bus.Read
    assert dev.DIN_MS_DET_LOW.MS_DET_LOW.get(read_hw=True) == 0


def test_register_sets_refuse_what_they_do_not_have_and_tell_what_was_read_under_a_report(dev, tmp_path):
    with pytest.raises(zev.ServiceError, match="no such set operation: bogus"):
        dev._sets("bogus", {})
    with pytest.raises(zev.ServiceError, match="the body nests deeper than 6 levels"):
        dev.apply_set({"format": [[[[[[]]]]]]})
    host = zev.SimulatedHost()
    faulty = zev.Device(host.bus, host.utility, host.status)
    path = tmp_path / "set.json"
    host.bus.throw_on_read = 1  # the read-back path catches it, reports, and makes the word up
    with pytest.raises(zev.ReportedError, match="Unknown error!") as raised:
        faulty.save_set(path, registers=["DIN_CNTRL0"])
    assert path.read_text() == raised.value.result, "written as zevctl writes it, and told"
    assert faulty.last_reports() == raised.value.reports, "the set's reports are the last call's"
    host.bus.throw_on_read = 1
    with pytest.raises(zev.ReportedError, match="Unknown error!"):
        faulty.compare_set(registers=["DIN_CNTRL0"])


def test_enumerations_docs_and_stubs():
    for cls in (zev.Device, zev.Register, zev.Signal):
        for name, method in inspect.getmembers(cls, inspect.isroutine):
            if not name.startswith("_"):
                assert len(inspect.getdoc(method) or "") > 20 and "*args" not in str(inspect.signature(method)), name
    assert [(m.name, m.value) for m in TRIG_SEL] == [("MARKER_SIG_%d" % i, i) for i in range(8)]
    assert zev.__version__ and zev.__version__ == zev._zev.__version__
    with open(os.path.join(os.path.dirname(zev.__file__), "__init__.pyi")) as f:
        stubs = {c.name: c for c in ast.parse(f.read()).body if isinstance(c, ast.ClassDef)}

    def fields(cls):
        return {a.target.id: ast.unparse(a.annotation) for a in cls.body if isinstance(a, ast.AnnAssign)}
    enums = {c.name: {e.name: {a.targets[0].id: a.value.value for a in e.body}
                      for e in c.body if isinstance(e, ast.ClassDef)} for c in stubs["enums"].body}
    for name, reg in zev.register_map.items():
        assert fields(stubs["Device"])[name] == "_" + name and fields(stubs["_" + name]) == {
            s: "_%s_%s" % (name, s) if sig.enumerators else "Signal" for s, sig in reg.signals.items()}
        assert enums[name] == {s: sig.enumerators for s, sig in reg.signals.items() if sig.enumerators}
