"""The conformance cases (cases.json) through the Python doors: zev.Device in this process,
zev.connect() to a zevd (and to a read-only one), and the C interface through ctypes. Each
door turns a case into its own calls and its answer back into the cases' terms; every door
must give every case's answer. (The runtime, HTTP and zevctl run the same table in C++.)"""
import ctypes
import importlib.util
import io
import json
import os
import re

import pytest

import zev

CASES = json.load(open(os.path.join(os.path.dirname(__file__), "cases.json")))["cases"]
# zevd is started as the Python tests start theirs (a remote case is skipped without one).
_SPEC = importlib.util.spec_from_file_location(
    "zevd_starter", os.path.join(os.path.dirname(__file__), "..", "..", "python", "tests", "conftest.py"))
starter = importlib.util.module_from_spec(_SPEC)
_SPEC.loader.exec_module(starter)


class Seen:
    def __init__(self, cls, value=None, error="", reports=(), transfers=None, log=None):
        self.cls, self.value, self.error, self.transfers, self.log = cls, value, error, transfers, log
        self.reports = [getattr(r, "message", r) for r in reports]  # zev.Report tuples, or C's texts


class PythonDoor:
    """zev.Device, or a zev.connect() device: the same calls on both."""
    name, lacks, can_trace, log = "python", ("words", "state"), True, None
    cannot = ("readOnly", "a device in the process has no read-only mode")
    # Python's own class for each refusal made before the device: a range is an index.
    BAD = [("range beyond", IndexError), ("one-word register", IndexError), ("Value limit", ValueError),
           ("is not a memory", TypeError), ("no words to set", ValueError)]

    def __init__(self):
        self.host = zev.SimulatedHost()
        self.device = zev.Device(self.host.bus, self.host.utility, self.host.status)
        self.device.set_to_default()  # as zevd does when it starts

    def call(self, op):
        d, name, reg, sig = self.device, op["op"], op.get("register"), op.get("signal", "")
        start, count, hw = op.get("start", 0), op.get("count"), op.get("readHw", False)
        if name == "logging":
            self.log = io.StringIO()
            return d.logging(reg, sig, self.log, op.get("enable", True))
        signal = lambda: getattr(getattr(d, reg), sig)  # noqa: E731 (looked up inside the call: an error is the case's)

        def typed(value, kind):  # Python's own types for the answers (pytest.fail gets past the except clauses)
            return value if type(value) is kind else pytest.fail("%s gave %r, not a %s" % (name, value, kind.__name__))
        return {"read": lambda: typed(d.service_read(reg, sig, start, count), list),
                "value": lambda: typed(d.get_value_by_string(reg, sig), list),
                "write": lambda: d.service_write(reg, sig, op["values"], start),
                "writeWords": lambda: d.service_write(reg, "", ["%08X/h" % w for w in op["words"]], start),
                "lock": lambda: d.lock(reg, sig), "unlock": lambda: d.unlock(reg, sig),
                "defaults": lambda: typed(d.set_to_default(), bool), "snapshot": lambda: d.snapshot().count("\n"),
                "registerDefaults": lambda: typed(getattr(d, reg).set_to_default(), bool),
                "appWords": lambda: typed(getattr(d, reg).read(start, count), list),
                "getBlock": lambda: typed(getattr(d, reg).get(start, count, read_hw=hw), list),
                "setBlock": lambda: typed(getattr(d, reg).set(op["words"], start), bool),
                "get": lambda: typed(signal().get(read_hw=hw), signal().Enum or int),
                "set": lambda: typed(signal().set(op["value"], op["mode"]) if "mode" in op else signal().set(op["value"]), bool)}[name]()

    def run(self, op, fault=""):
        if self.can_trace:
            if fault:  # the simulator's knob for the case's fault
                setattr(self.host.bus, *{"read": ("throw_on_read", 1), "notReady": ("ready_after_polls", 0)}[fault])
            trace = io.StringIO()
            self.host.bus.set_trace(trace)
        logged = len(self.log.getvalue()) if self.log is not None else 0
        try:
            value = self.call(op)
            reports = self.device.last_reports()
            seen = Seen("reported" if reports else "ok", value, reports=reports)
        except zev.ReportedError as e:
            seen = Seen("reported", e.result, reports=e.reports)
        except zev.HostFault as e:
            seen = Seen("fault", None, str(e), e.reports)
        except zev.ServiceError as e:
            match = re.match(r"zevd answered (\d+): (.*)", str(e), re.S)
            cls = {"400": "bad", "403": "read_only"}.get(match.group(1), "status " + match.group(1)) if match else "refused"
            seen = Seen(cls, None, match.group(2) if match else str(e), e.reports)
        except (ValueError, IndexError, TypeError) as e:
            right = next((c for text, c in self.BAD if text in str(e)), None)
            seen = Seen("bad" if right and isinstance(e, right) else type(e).__name__, None, str(e))
        except Exception as e:  # the host's own exception, passed through in this process
            seen = Seen("fault", None, "%s: %s" % (type(e).__name__, e))
        if self.can_trace:
            self.host.bus.set_trace(None)
            seen.transfers = [line[5:] if line.startswith("bus: ") else line for line in trace.getvalue().splitlines()]
        if self.log is not None:
            seen.log = self.log.getvalue()[logged:].splitlines()
        return seen


class RemoteDoor(PythonDoor):
    """zev.connect() to a zevd of the case's own, read-only where the case says so."""
    name, can_trace, cannot = "remote", False, ("fault", "a client cannot make the server's host fault")

    def __init__(self, folder, read_only):
        self.process, url, token_file = starter.start_zevd(folder, *(["--read-only"] if read_only else []))
        self.device = zev.connect(url, token_file=token_file)

    def close(self):
        self.device.close()
        self.process.terminate()
        self.process.wait(10)


class CDoor:
    """The C interface through ctypes, on its own simulated ZEV (the C interface shows no
    transfers: the C tests' own host of callbacks records them)."""
    name, lacks, cannot, log = "ctypes", ("state", "appWords"), PythonDoor.cannot, None
    u32, i32, p = ctypes.c_uint32, ctypes.c_int32, ctypes.c_void_p
    LOG = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_char_p)
    STATUS = ["ok", "refused", "refused", "bad", "buffer", "fault"]  # an unknown name is a refusal too
    ON_REGISTER = ("read", "words", "getBlock", "writeWords", "setBlock", "registerDefaults")

    class RegisterInfo(ctypes.Structure):
        _fields_ = [(name, ctypes.c_uint32) for name in ("address", "width", "words", "access", "status", "signal_count")]

    # Each function's arguments, a letter each: p a handle, P a handle's address, t a text,
    # u and U a word and its address, i and I an int32 and its address, L the log callback,
    # R a register's description. Every function returns a zev_status.
    FUNCTIONS = """create_simulated P; destroy p; last_error ptuU; reports ptuU; set_to_default p; snapshot ptuU;
        service_read pttuutuUU; service_write ptttu; value_by_string ptttuU; lock ptt; unlock ptt;
        set_log_callback pLp; logging ptti; register_find ptP; register_describe pR; register_set_to_default pI;
        register_read puuU; register_write puuU; signal_lookup pttP; signal_get piU; signal_set puiI;
        memory_get puuiUI; memory_set puuUI; sim_fail_reads pi; sim_ready_after pu"""

    def __init__(self, path):
        letters = dict(p=self.p, P=ctypes.POINTER(self.p), t=ctypes.c_char_p, u=self.u32, U=ctypes.POINTER(self.u32),
                       i=self.i32, I=ctypes.POINTER(self.i32), L=self.LOG, R=ctypes.POINTER(self.RegisterInfo))
        self.lib = lib = ctypes.CDLL(path)
        for name, arguments in (entry.split() for entry in self.FUNCTIONS.split(";")):
            function = getattr(lib, "zev_" + name)
            function.restype, function.argtypes = self.i32, [letters[c] for c in arguments]
        self.device = self.p()
        assert lib.zev_create_simulated(ctypes.byref(self.device)) == 0
        self.lines = []
        self.log_callback = self.LOG(lambda context, line: self.lines.append(line.decode()) or 0)
        lib.zev_set_log_callback(self.device, self.log_callback, None)
        lib.zev_set_to_default(self.device)

    def close(self):
        self.lib.zev_destroy(self.device)

    def texts(self, call, *arguments):
        size, count, buffer = ctypes.c_uint32(), ctypes.c_uint32(), ctypes.create_string_buffer(1 << 20)
        extra = (ctypes.byref(count),) if call is self.lib.zev_service_read else ()
        return call(self.device, *arguments, buffer, len(buffer), ctypes.byref(size), *extra), buffer.value.decode()

    def reports(self):
        return [line.split(": ", 2)[-1] for line in self.texts(self.lib.zev_reports)[1].splitlines()]

    def count(self, op, register):
        """C takes a count always: one left out is the rest of the register (none of an unknown one)."""
        if "count" in op or not register.value:
            return op.get("count", 0)
        info = self.RegisterInfo()
        assert self.lib.zev_register_describe(register, ctypes.byref(info)) == 0
        return max(info.words - op.get("start", 0), 0)

    def call(self, op):
        lib, d, name, byref = self.lib, self.device, op["op"], ctypes.byref
        reg, sig = (op[k].encode() if op.get(k) is not None else None for k in ("register", "signal"))
        sig, start, hw, given = sig or b"", op.get("start", 0), int(op.get("readHw", False)), op.get("words", [])
        value, flag, handle, words = self.u32(), self.i32(), self.p(), (self.u32 * 65536)(*given)
        # A call on one signal or register takes its handle first: a name not found is the answer
        # (a read by name takes a count from it, none of an unknown register).
        found = (lib.zev_signal_lookup(d, reg, sig, byref(handle)) if name in ("get", "set") else
                 lib.zev_register_find(d, reg, byref(handle)) if name in self.ON_REGISTER else 0)
        if found and name != "read":
            return found, None

        def block(read):
            count = self.count(op, handle)
            return read(count), list(words[:count])
        return {"read": lambda: self.texts(lib.zev_service_read, reg, sig, start, self.count(op, handle)),
                "value": lambda: self.texts(lib.zev_value_by_string, reg, sig),
                "snapshot": lambda: self.texts(lib.zev_snapshot),
                "write": lambda: (lib.zev_service_write(d, reg, sig, "\n".join(op["values"]).encode(), start), None),
                "lock": lambda: (lib.zev_lock(d, reg, sig), None), "unlock": lambda: (lib.zev_unlock(d, reg, sig), None),
                "logging": lambda: (lib.zev_logging(d, reg, sig, int(op.get("enable", True))), None),
                "defaults": lambda: (lib.zev_set_to_default(d), None),
                "get": lambda: (lib.zev_signal_get(handle, hw, byref(value)), value.value),
                "set": lambda: (lib.zev_signal_set(handle, op["value"], op.get("mode", 0), byref(flag)), bool(flag.value)),
                "registerDefaults": lambda: (lib.zev_register_set_to_default(handle, byref(flag)), bool(flag.value)),
                "words": lambda: block(lambda count: lib.zev_register_read(handle, start, count, words)),
                "getBlock": lambda: block(lambda count: lib.zev_memory_get(handle, start, count, hw, words, byref(flag))),
                "writeWords": lambda: (lib.zev_register_write(handle, start, len(given), words), None),
                "setBlock": lambda: (lib.zev_memory_set(handle, start, len(given), words, byref(flag)), bool(flag.value))
                }[name]()

    def run(self, op, fault=""):
        if fault:
            name, value = {"read": ("zev_sim_fail_reads", 1), "notReady": ("zev_sim_ready_after", 0)}[fault]
            getattr(self.lib, name)(self.device, value)
        before, logged = len(self.reports()), len(self.lines)
        status, value = self.call(op)
        if op["op"] in ("read", "value", "snapshot"):
            value = value.count("\n") if op["op"] == "snapshot" else value.split("\n") if value else []
        reports = self.reports()[before:]
        error = self.texts(self.lib.zev_last_error)[1] if status else ""
        cls = self.STATUS[status] if status < len(self.STATUS) else "status %d" % status
        seen = Seen("reported" if cls == "ok" and reports else cls,
                    value if status == 0 or op["op"] == "read" else None, error, reports)
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


def check(door, case, seen):
    expect, where = case["expect"], "%s: %s" % (door.name, case["name"])
    assert seen.cls == expect["class"], "%s: %s %r" % (where, seen.cls, seen.error)
    for key in ("value", "error", "reports", "transfers", "log"):  # a door that sees no transfers or log has None
        if key in expect and (key in ("value", "error", "reports") or getattr(seen, key) is not None):
            assert getattr(seen, key) == expect[key], "%s: %s" % (where, key)


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
        key, why = door.cannot
        why = case.get("not", {}).get(door.name) or (why if case.get(key) else "")
        if why or any(step["op"] in door.lacks for step in case.get("setup", []) + [case["op"]]):
            pytest.skip(why or "the door has no call for a step")
        for step in case.get("setup", []):
            seen = door.run(step)
            assert seen.cls in ("ok", "reported"), "setup %r: %s %s" % (step, seen.cls, seen.error)
        check(door, case, door.run(case["op"], case.get("fault", "")))
    finally:
        if kind != "python":
            door.close()
