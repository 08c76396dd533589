"""A device behind zevd, reached with zev.connect(): the attribute tree, enumerations,
memories, locks, text service, snapshot and exceptions of zev.Device, over the service's
HTTP API (service/API.md) with Python's standard library only. Arguments' types are checked
here before anything is sent; the device's own checks are the server's, raised as the device
in this process raises them; a register's signals and the whole device's go as one batch
request."""
import array
import http.client
import json
import os
import re
import socket
import threading
import time
import urllib.parse

from . import _common as common
from . import Device, enums, identity, register_map
from ._common import (DeviceConnectionError, DeviceRestartedError, HostFault, LockState, OutcomeUnknownError, Report,
                      ServiceError)

_API = "/api/v1/"


class _Connection:
    """One kept-alive HTTP/1.1 connection, used by one call at a time. A request goes out in
    one send (http.client's header parsing and split sends cost more than the server's whole
    answer on loopback); answers carry Content-Length or chunked bodies."""

    def __init__(self, url, token, timeout):
        parts = urllib.parse.urlsplit(url)
        if parts.scheme != "http" or not parts.hostname:
            raise ValueError("a zevd address is http://HOST:PORT, not %r" % url)
        self.host, self.port, self.timeout = parts.hostname, parts.port or 7411, timeout
        self.url = "http://%s:%d" % (self.host if ":" not in self.host else "[%s]" % self.host, self.port)
        self.head = ("Host: %s\r\nAuthorization: Bearer %s\r\nContent-Type: application/json\r\n"
                     % (self.url[7:], token)).encode("utf-8", "surrogateescape")
        self.lock = threading.Lock()
        self.sock = None
        self.buffer = b""
        self.deadline = None  # of the call in progress: every socket operation ends by it
        self.client_id = os.urandom(8).hex()  # this client's requests are client_id-1, -2, ...
        self.requests = 0
        self.instance = None  # the server's run, from its first answer
        self.answer_instance = None

    def close(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None
        self.buffer = b""

    def _left(self):
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise socket.timeout("no answer within %g s" % self.timeout)
        return left

    def _open(self):
        sock = socket.create_connection((self.host, self.port), timeout=self._left())
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock, self.buffer = sock, b""
        return sock

    def _more(self):
        self.sock.settimeout(self._left())
        data = self.sock.recv(262144)
        if not data:
            raise ConnectionResetError("the server closed the connection")
        self.buffer += data

    def _line(self):
        while True:
            end = self.buffer.find(b"\r\n")
            if end >= 0:
                line, self.buffer = self.buffer[:end], self.buffer[end + 2:]
                return line
            self._more()

    def _take(self, count):
        while len(self.buffer) < count:
            self._more()
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def _answer(self):
        status_line = self._line()
        try:
            status = int(status_line.split(b" ", 2)[1])
        except (IndexError, ValueError):
            raise http.client.BadStatusLine(status_line.decode("latin-1")) from None
        length, chunked, close = None, False, False
        while True:
            line = self._line()
            if not line:
                break
            name, _, value = line.partition(b":")
            name, value = name.strip().lower(), value.strip().lower()
            if name == b"content-length":
                length = int(value)
            elif name == b"transfer-encoding":
                chunked = value == b"chunked"
            elif name == b"connection":
                close = value == b"close"
            elif name == b"zev-instance":
                self.answer_instance = value.decode("ascii", "replace")
        if chunked:
            body = b""
            while True:
                size = int(self._line().split(b";")[0], 16)
                if size == 0:
                    while self._line():
                        pass
                    break
                body += self._take(size)
                self._take(2)
        elif length is not None:
            body = self._take(length)
        else:
            while True:
                try:
                    self._more()
                except ConnectionResetError:
                    break
            body, self.buffer, close = self.buffer, b"", True
        if close:
            self.close()
        return status, body

    def request(self, method, path, body=None):
        """(status, answer) of one request, within the connection's timeout as a whole. An
        answer lost on the wire (a reset, a close, a broken answer) is asked for again on a
        new connection; a POST goes under one id every time, so the server carries it out
        once. A POST left without an answer raises OutcomeUnknownError."""
        data = b"" if body is None else json.dumps(body, separators=(",", ":")).encode()
        with self.lock:
            head = self.head
            if self.instance:
                head += b"ZEV-Instance: %s\r\n" % self.instance.encode("ascii")
            if method == "POST":
                self.requests += 1
                head += b"ZEV-Request-Id: %s-%d\r\n" % (self.client_id.encode("ascii"), self.requests)
            message = b"%s %s%s HTTP/1.1\r\n%sContent-Length: %d\r\n\r\n%s" % (
                method.encode(), _API.encode(), path.encode(), head, len(data), data) if data else \
                b"%s %s%s HTTP/1.1\r\n%s\r\n" % (method.encode(), _API.encode(), path.encode(), head)
            self.deadline = time.monotonic() + self.timeout
            reached, lost, answered = False, None, None
            for _ in range(3):
                try:
                    if self.sock is None:
                        self._open()
                    reached = True
                    self.answer_instance = None
                    self.sock.settimeout(self._left())
                    self.sock.sendall(message)
                    answered = self._answer()
                    break
                except (OSError, http.client.HTTPException, ValueError) as e:
                    self.close()
                    lost = e
                    if isinstance(e, socket.timeout) or not reached:
                        break  # out of time, or the server was never reached
                except BaseException:
                    self.close()  # Ctrl-C halfway through an answer: the connection's state is unknown
                    raise
            if answered is None:
                if not reached:
                    raise DeviceConnectionError("cannot reach zevd at %s: %s" % (self.url, lost)) from None
                if method == "POST":
                    raise OutcomeUnknownError("zevd at %s: no answer (%s): the request may or may not have been "
                                              "carried out" % (self.url, lost)) from None
                raise DeviceConnectionError("zevd at %s: no answer (%s)" % (self.url, lost)) from None
            status, text = answered
            if self.answer_instance:
                self.instance = self.answer_instance
        try:
            answer = json.loads(text) if text else {}
        except ValueError:
            raise ServiceError("zevd answered %d with something that is not JSON" % status) from None
        if status == 401:
            raise DeviceConnectionError("zevd at %s refused the token: %s" % (self.url, answer.get("error", "")))
        if status == 412:
            raise DeviceRestartedError("zevd at %s restarted: %s" % (self.url, answer.get("error", "")))
        return status, answer


def _reports(answer):
    return [Report(r["file"], r["line"], r["function"], r["message"], r["accessDenied"])
            for r in answer.get("reports", ())]


def _raise_for(status, answer):
    reports = _reports(answer)
    error = answer.get("error", "HTTP %d" % status)
    if status == 500:
        raise common.service_error(HostFault, error, reports)
    if status == 422:
        raise common.service_error(ServiceError, error, reports)
    # The device's check refused an argument: the exception the device in this process raises.
    if status == 400 and answer.get("argument") == "start":
        raise IndexError(error)
    if status == 400 and answer.get("argument"):
        raise ValueError(error)
    raise common.service_error(ServiceError, "zevd answered %d: %s" % (status, error), reports)


def read_token_file(path):
    """The token as zevd and zevctl take it from a file: its first line, without the spaces,
    tabs, CR and LF around it (later lines are the owner's comments)."""
    with open(os.path.expanduser(path), "rb") as f:
        line = f.readline().split(b"\n")[0]
    return line.strip(b" \t\r\n").decode("utf-8", "surrogateescape")


# The server takes only names of letters, digits and "_" (1 to 64); the library answers any
# other name as one it does not have. Such a name goes as a stand-in no register or signal
# has, and the library's answer comes back with the caller's name in it.
_NAME = re.compile(r"[A-Za-z0-9_]{1,64}\Z")
_STAND_INS = {"register": "zev_no_such_register", "signal": "zev_no_such_signal"}

_LOCK_REFUSALS = ("Invalid register submitted! : ", "Invalid signal submitted! : ")


def _true(answer):
    """The result of a text-service call the library did not refuse: it returned true."""
    return True


def _stand_in(body):
    """Swaps the names the server would refuse (a read or write sends no empty signal)."""
    swapped = {}
    for field, stand_in in _STAND_INS.items():
        name = body.get(field)
        if name is not None and not _NAME.match(name):
            swapped[stand_in], body[field] = name, stand_in
    return swapped


def _restore(answer, swapped):
    def back(text):
        for stand_in, name in swapped.items():
            text = text.replace(stand_in, name)
        return text
    if "error" in answer:
        answer["error"] = back(answer["error"])
    for report in answer.get("reports", ()):
        report["message"] = back(report["message"])


class _Node:
    """Registers and signals keep their attributes fixed, as in-process."""
    __slots__ = ()

    def __copy__(self):
        raise TypeError("%s is part of its device and cannot be copied" % self._full_name())

    def __deepcopy__(self, memo):
        self.__copy__()

    def __reduce__(self):
        raise TypeError("%s is part of its device and cannot be pickled" % self._full_name())


class RemoteSignal(_Node):
    """A bit field of a remote register: set(value, mode) and get(read_hw) are the library's
    typed Set and Get, made by the server's host."""
    __slots__ = ("_device", "_register", "_name", "_low", "_max", "_enum")

    def __init__(self, device, register, info, enum):
        for slot, value in zip(self.__slots__, (device, register, info.name, info.low, (1 << info.width) - 1, enum)):
            object.__setattr__(self, slot, value)

    def __getattr__(self, name):
        raise AttributeError("%s has no attribute %s" % (self._full_name(), name), name=name, obj=self)

    def __setattr__(self, name, value):
        raise AttributeError("%s.%s cannot be changed: a signal's attributes are fixed" % (self._full_name(), name))

    def __delattr__(self, name):
        self.__setattr__(name, None)

    def __repr__(self):
        return "<zev signal %s>" % self._full_name()

    def _full_name(self):
        return "%s.%s" % (RemoteSignal._register.__get__(self), RemoteSignal._name.__get__(self))

    name = property(lambda self: self._name)
    register = property(lambda self: self._register)
    low = property(lambda self: self._low)
    max = property(lambda self: self._max)
    Enum = property(lambda self: self._enum, doc="The signal's IntEnum, or None for a number")

    def _member(self, value):
        return value if self._enum is None else self._enum(value)

    def set(self, value, mode=0):
        """The library's typed Set: the value (a member of the signal's Enum, or an int from 0
        to max) and the write mode. Returns the library's result."""
        number = common.signal_value(self._full_name(), self._max, self._enum, value)
        body = {"register": self._register, "signal": self._name, "value": number, "mode": common.mode(mode)}
        return self._device._call("set", body, result=lambda a: a.get("result"))["result"]

    def get(self, read_hw=False):
        """The library's typed Get: a member of the signal's Enum, or an int."""
        body = {"register": self._register, "signal": self._name, "readHw": common.flag(read_hw, "read_hw")}
        return self._member(self._device._call("get", body, result=lambda a: a.get("value"))["value"])

    def lock(self):
        self._device._call("lock", {"register": self._register, "signal": self._name})

    def unlock(self):
        self._device._call("unlock", {"register": self._register, "signal": self._name}, result=_true)

    def value_text(self):
        return self._device.get_value_by_string(self._register, self._name)

    def service_read(self):
        return self._device.service_read(self._register, self._name, 0, None)

    def service_write(self, values):
        self._device.service_write(self._register, self._name, values, 0)

    def logging(self, file, enable=True):
        return self._device.logging(self._register, self._name, file, enable)

    @property
    def lock_state(self):
        answer = self._device._call("state", {"register": self._register})
        return next(LockState[s["lock"]] for s in answer["signals"] if s["name"] == self._name)


class RemoteRegister(_Node):
    """A remote register (its signals are attributes) or memory (get, set, get_array)."""
    __slots__ = ("_device", "_info", "_signals", "__dict__")

    def __init__(self, device, info):
        object.__setattr__(self, "_device", device)
        object.__setattr__(self, "_info", info)
        register_enums = getattr(enums, info.name)
        signals = [RemoteSignal(device, info.name, s, getattr(register_enums, s.name, None))
                   for s in info.signals.values()]
        object.__setattr__(self, "_signals", signals)
        for signal in signals:
            object.__setattr__(self, signal.name, signal)

    def __getattr__(self, name):
        raise AttributeError("%s has no signal or attribute %s" % (RemoteRegister._info.__get__(self).name, name),
                             name=name, obj=self)

    def __setattr__(self, name, value):
        if name in self._info.signals:
            raise AttributeError("%s.%s is a signal: write it with .set(value, mode)" % (self.name, name))
        raise AttributeError("%s has no signal %s to set (its attributes are fixed)" % (self.name, name))

    def __delattr__(self, name):
        self.__setattr__(name, None)

    def __repr__(self):
        return "<zev register %s>" % self.name

    def _full_name(self):
        return self.name

    name = property(lambda self: self._info.name)
    address = property(lambda self: self._info.address)
    width = property(lambda self: self._info.width)
    words = property(lambda self: self._info.words)
    is_memory = property(lambda self: self._info.words > 1)

    def signals(self):
        return list(self._signals)

    @property
    def lock_state(self):
        return LockState[self._device._call("state", {"register": self.name})["lock"]]

    def _require_memory(self):
        if not self.is_memory:
            raise TypeError("%s is not a memory" % self.name)

    def read(self, start=0, count=None):
        """The application's words as they are (no transfer)."""
        start, count = common.memory_range(self.name, self._info.words, start, count)
        return self._device._call("appWords", {"register": self.name, "start": start, "count": count})["words"]

    def _words(self, start, count, read_hw):
        read_hw = common.flag(read_hw, "read_hw")
        self._require_memory()
        start, count = common.memory_range(self.name, self._info.words, start, count)
        if count == 0:
            return []
        return self._device._call("getBlock", {"register": self.name, "start": start, "count": count,
                                               "readHw": read_hw}, result=lambda a: a.get("result"))["words"]

    def get(self, start=0, count=None, read_hw=True):
        """A memory's typed Get: count words from start (default: to the end) as a list."""
        return self._words(start, count, read_hw)

    def get_array(self, start=0, count=None, read_hw=True, out=None):
        """As get(), as an array('I') (or into out, a writable buffer of unsigned 32-bit words)."""
        if out is None:
            return array.array("I", self._words(start, count, read_hw))
        read_hw = common.flag(read_hw, "read_hw")
        self._require_memory()
        start, count = common.memory_range(self.name, self._info.words, start, count)
        try:
            view = memoryview(out)
        except TypeError:
            raise TypeError("out must be a writable, contiguous buffer of unsigned 32-bit words (array('I'), a "
                            "numpy uint32 array), not %s" % type(out).__name__) from None
        if view.readonly or not view.c_contiguous:
            raise TypeError("out must be a writable, contiguous buffer of unsigned 32-bit words (array('I'), a "
                            "numpy uint32 array), not %s" % type(out).__name__)
        if view.itemsize != 4 or view.ndim != 1 or view.format not in ("I", "L", "=I", "<I", "@I"):
            raise TypeError("out must hold unsigned 32-bit words (format 'I'), not '%s'" % view.format)
        if len(view) != count:
            raise ValueError("out holds %d word(s), not %d" % (len(view), count))
        view[:] = array.array("I", self._words(start, count, read_hw))
        return out

    def set(self, words, start=0):
        """A memory's typed Set from start; the library's result (True: the hardware was written)."""
        self._require_memory()
        start = common.index(start, "start")
        words = common.memory_words(words)
        common.check_words(len(words))
        common.check_range(self.name, self._info.words, start, len(words))
        return self._device._call("setBlock", {"register": self.name, "start": start, "words": words},
                                  result=lambda a: a.get("result"))["result"]

    # The server's check of the range, as the device's own in this process.
    def service_read(self, signal="", start=0, count=None):
        return self._device.service_read(self.name, signal, start, count)

    def service_write(self, values, signal="", start=0):
        self._device.service_write(self.name, signal, values, start)

    def lock(self, signal="ALL"):
        self._device._lock("lock", self.name, common.text(signal, "signal"), "signal")

    def unlock(self, signal="ALL"):
        self._device._lock("unlock", self.name, common.text(signal, "signal"), "signal")

    def set_to_default(self):
        """The register's own defaults, written (its SetToDefault, made by the server)."""
        return self._device._call("registerDefaults", {"register": self.name},
                                  result=lambda a: a.get("result"))["result"]

    def get_all(self, read_hw=False):
        """Every signal's typed get in one batch request, by name."""
        return self._device.get_all([self], read_hw, device_wide=False)[self.name]


class _Remote:
    """The connection to a zevd and its calls: what zev.Device calls on a device in this
    process, made as requests. Reports are raised as in-process."""

    def __init__(self, url, token, timeout):
        self.connection = _Connection(url, token, timeout)
        self.local = threading.local()
        self.logs = {}  # (register, signal) -> the file this client logs the signal to
        status, answer = self.connection.request("GET", "device")
        if status != 200:
            _raise_for(status, answer)
        # The tree, the enumerations and the checks here are this package's: a server built
        # from another description would be misread.
        served = {key: answer.get(key) for key in identity}
        if served != identity:
            raise DeviceConnectionError(
                "zevd at %s serves %s built from %s (generator %s); this package is built from %s (generator %s): "
                "connect with the package of the server's build" % (
                    self.connection.url, served["name"], served["xmlVersion"], served["generatorVersion"],
                    identity["xmlVersion"], identity["generatorVersion"]))
        self.identity = answer

    name = property(lambda self: self.identity["name"])
    xml_version = property(lambda self: self.identity["xmlVersion"])
    generator_version = property(lambda self: self.identity["generatorVersion"])
    read_only = property(lambda self: bool(self.identity.get("readOnly", False)))

    @property
    def bus(self):
        raise AttributeError("a remote device has no host objects (bus, utility, status): they are the server's")

    utility = status = bus

    def close(self):
        with self.connection.lock:
            self.connection.close()

    # ---- requests ----------------------------------------------------------------------

    def _logging_body(self, body):
        if self.logs:
            body["trace"] = True
        return body

    def _write_log_lines(self, answers):
        """Change-log lines of this client's calls, to the files logging() gave. A write that
        raises is raised after the call, as in-process, and the later lines are written."""
        error = None
        for answer in answers:
            for event in answer.get("events", ()):
                if event.get("type") != "log":
                    continue
                line = event["text"]
                match = re.match(r"(?:Register: (\w+) )?Signal: (\w+)", line)
                file = None
                if match:
                    register, signal = match.groups()
                    file = next((f for (r, s), f in self.logs.items()
                                 if s == signal and (register is None or r == register)), None)
                if file is not None:
                    try:
                        file.write(line + "\n")
                    except Exception as e:
                        error = error or e
        return error

    def sets(self, operation, body):
        """A register-set operation of the service: (status, answer), as the device in this
        process gives them."""
        body = json.loads(body)
        if operation == "apply":  # the change-log lines of what it writes, for this client's logs
            body = self._logging_body(body)
        status, answer = self.connection.request("POST", "sets/" + operation, body)
        if status in (200, 500):  # the device ran it (as _call: a refusal before it keeps the last)
            self.local.reports = _reports(answer)
        # What only a server answers (no token, read-only, busy) is said as for every other call.
        if status not in (200, 400, 500):
            _raise_for(status, answer)
        error = self._write_log_lines([answer]) if self.logs else None
        if error is not None:
            raise error
        return status, json.dumps(answer)

    def _call(self, operation, body, device_wide=False, result=None, method="POST"):
        """One operation; the answer, after its reports are raised as in-process."""
        swapped = _stand_in(body) if body else {}
        status, answer = self.connection.request(method, operation,
                                                 None if method == "GET" else self._logging_body(body))
        _restore(answer, swapped)
        # The last reports are those of the last call the device ran: a refusal before it
        # (a bad argument, no token, a read-only server) leaves them, as in this process.
        if status in (200, 422, 500):
            self.local.reports = _reports(answer)
        error = self._write_log_lines([answer]) if self.logs else None
        if error is not None:
            raise error
        if status != 200:
            _raise_for(status, answer)
        common.raise_reports(self.local.reports, device_wide, result(answer) if result else None)
        return answer

    def _batch(self, operations, device_wide=False):
        status, answer = self.connection.request("POST", "batch", self._logging_body({"operations": operations}))
        if status != 200 and "results" not in answer:
            _raise_for(status, answer)
        results = answer["results"]
        self.local.reports = [r for result in results for r in _reports(result)]
        error = self._write_log_lines(results) if self.logs else None
        if error is not None:
            raise error
        for result in results:
            if result["status"] != 200:
                _raise_for(result["status"], result)
        common.raise_reports(self.local.reports, device_wide, None)
        return results

    def get_all(self, registers, read_hw, device_wide=True):
        read_hw = common.flag(read_hw, "read_hw")
        # With read_hw=False only gets that read nothing: a read-only server answers them.
        operations = [{"op": "get", "register": register.name, "signal": signal.name, "readHw": read_hw and i == 0}
                      for register in registers for i, signal in enumerate(register._signals)]
        if not operations:  # a device call all the same in this process: it reported nothing
            self.local.reports = []
        values = iter(self._batch(operations, device_wide) if operations else ())
        return {register.name: {s.name: s._member(next(values)["value"]) for s in register._signals}
                for register in registers}

    def last_reports(self):
        return list(getattr(self.local, "reports", ()))

    # ---- the device's calls, as zev.Device makes them -------------------------------------

    def set_to_default(self):
        return self._call("defaults", {}, device_wide=True, result=lambda a: a.get("result"))["result"]

    def snapshot(self):
        return self._call("snapshot", None, device_wide=True, method="GET")["snapshot"]

    def lock_all(self):
        self._call("lock", {"register": "ALL", "signal": "ALL"}, device_wide=True)

    def unlock_all(self):
        self._call("unlock", {"register": "ALL", "signal": "ALL"}, device_wide=True)

    def _lock(self, operation, register, signal, refused):
        """Lock or unlock by name: the device's refusal as the server gives it (the runtime
        names an unknown signal); a register's own lock names the signal it did not find."""
        try:
            self._call(operation, {"register": register, "signal": signal}, device_wide=register in ("ALL", "all"),
                       result=_true)
        except ServiceError as error:
            if refused == "register" or type(error) is not ServiceError or not str(error).startswith(_LOCK_REFUSALS):
                raise
            text = _LOCK_REFUSALS[0] + register if refused == "register" else _LOCK_REFUSALS[1] + signal
            raise common.service_error(ServiceError, text, error.reports) from None

    def lock(self, register, signal):
        register, signal = common.text(register, "register"), common.text(signal, "signal")
        self._lock("lock", register, signal, "register")

    def unlock(self, register, signal):
        register, signal = common.text(register, "register"), common.text(signal, "signal")
        self._lock("unlock", register, signal, "register")

    def logging(self, register, signal, file, enable):
        """Change-log lines of the named signals to a text file: the lines of this client's
        own calls (the server sends them with each answer while this client logs). Letting
        go ends only this client's logs: the server's logging of signals this client never
        logged (another client's) is left alone."""
        register, signal = common.text(register, "register"), common.text(signal, "signal")
        enable = common.flag(enable, "enable")
        named = _logged_signals(register, signal)
        if file is not None:
            common.check_text_file(file, "the log")
        if enable and file is not None:
            self._call("logging", {"register": register, "signal": signal, "enable": True}, result=_true)
            self.logs.update((pair, file) for pair in named)
            return enable
        mine = [pair for pair in named if pair in self.logs]
        if len(mine) == len(named) and mine:
            self._call("logging", {"register": register, "signal": signal, "enable": False}, result=lambda a: False)
        elif mine:
            self._batch([{"op": "logging", "register": r, "signal": s, "enable": False} for r, s in mine])
        else:  # nothing of this client's to end: no call, yet one in this process, reporting nothing
            self.local.reports = []
        for pair in mine:
            del self.logs[pair]
        return enable

    def _service_read(self, register, signal, start, count):
        body = {"register": register}
        if signal:
            body["signal"] = signal
        if start:
            body["start"] = start
        if count is not None:
            body["count"] = count
        # Reported: what the read gave, as in this process.
        return self._call("read", body, result=lambda answer: answer.get("values"))["values"]

    def _service_write(self, register, signal, values, start):
        body = {"register": register, "values": values}
        if signal:
            body["signal"] = signal
        if start:
            body["start"] = start
        self._call("write", body, result=_true)

    def service_read(self, register, signal, start, count):
        register, signal = common.text(register, "register"), common.text(signal, "signal")
        start = common.index(start, "start")
        count = None if count is None else common.index(count, "count")
        return self._service_read(register, signal, start, count)

    def service_write(self, register, signal, values, start):
        register, signal = common.text(register, "register"), common.text(signal, "signal")
        values = common.texts(values)
        common.check_values(len(values))
        self._service_write(register, signal, values, common.index(start, "start"))

    def get_value_by_string(self, register, signal):
        register, signal = common.text(register, "register"), common.text(signal, "signal")
        return self._call("value", {"register": register, "signal": signal},
                          result=lambda answer: answer.get("values"))["values"]


def _logged_signals(register, signal):
    """(register, signal) pairs a logging request names; an unknown name raises the text
    the device in this process gives."""
    every_register, every_signal = register in ("ALL", "all"), signal in ("ALL", "all")
    registers = [info for name, info in register_map.items() if every_register or name == register]
    if not registers:
        raise common.service_error(ServiceError, "Invalid register submitted: " + register, [])
    named = [(info.name, s) for info in registers for s in info.signals if every_signal or s == signal]
    if not named and not every_signal:
        raise common.service_error(ServiceError, "Invalid signal submitted: " + signal, [])
    return named


class RemoteDevice(Device):
    """A ZEV that zevd serves (made by zev.connect): a zev.Device with the same attribute
    tree, calls and exceptions; an unreachable server or a refused token raises
    zev.DeviceConnectionError. close() (or a with block) closes the connection."""

    def __init__(self, url, token=None, token_file=None, timeout=10.0):
        if (token is None) == (token_file is None):
            raise TypeError("give the token or the token_file (one of them)")
        if token_file is not None:
            token = read_token_file(token_file)
        if not isinstance(token, str) or not token:
            raise ValueError("the token is a non-empty str")
        remote = _Remote(url, token, timeout)
        object.__setattr__(self, "_device", remote)
        for info in register_map.values():
            object.__setattr__(self, info.name, RemoteRegister(remote, info))

    def __repr__(self):
        return "<zev.Device %s at %s>" % (self.name, self._device.connection.url)

    def close(self):
        """Closes the connection (a later call opens it again)."""
        self._device.close()
