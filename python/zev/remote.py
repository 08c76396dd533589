"""A device behind zevd, reached with zev.connect(): the attribute tree, enumerations,
memories, locks, text service, snapshot and exceptions of zev.Device, over the service's
HTTP API (service/API.md) with Python's standard library only. Arguments are checked here
before anything is sent; whole registers and iterations go as one batch request."""
import array
import http.client
import json
import os
import re
import socket
import threading
import urllib.parse

from . import _common as common
from . import _DeviceBase, enums, register_map
from ._common import DeviceConnectionError, HostFault, LockState, Report, ServiceError

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
                     % (self.url[7:], token)).encode()
        self.lock = threading.Lock()
        self.sock = None
        self.buffer = b""

    def close(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None
        self.buffer = b""

    def _open(self):
        try:
            sock = socket.create_connection((self.host, self.port), timeout=self.timeout)
        except OSError as e:
            raise DeviceConnectionError("cannot reach zevd at %s: %s" % (self.url, e)) from None
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock, self.buffer = sock, b""
        return sock

    def _more(self):
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
        """(status, answer) of one request; a kept connection the server closed meanwhile is
        opened again once."""
        data = b"" if body is None else json.dumps(body, separators=(",", ":")).encode()
        message = b"%s %s%s HTTP/1.1\r\n%sContent-Length: %d\r\n\r\n%s" % (
            method.encode(), _API.encode(), path.encode(), self.head, len(data), data) if data else \
            b"%s %s%s HTTP/1.1\r\n%s\r\n" % (method.encode(), _API.encode(), path.encode(), self.head)
        with self.lock:
            for attempt in (0, 1):
                fresh = self.sock is None
                try:
                    if fresh:
                        self._open()
                    self.sock.sendall(message)
                    status, text = self._answer()
                except (ConnectionResetError, BrokenPipeError) as e:
                    self.close()
                    if attempt == 0 and not fresh:
                        continue
                    raise DeviceConnectionError("zevd at %s closed the connection: %s" % (self.url, e)) from None
                except DeviceConnectionError:
                    raise
                except (OSError, http.client.HTTPException, ValueError) as e:
                    self.close()
                    raise DeviceConnectionError("zevd at %s: %s" % (self.url, e)) from None
                except BaseException:
                    # Ctrl-C halfway through an answer: the connection's state is unknown.
                    self.close()
                    raise
                break
        try:
            answer = json.loads(text) if text else {}
        except ValueError:
            raise ServiceError("zevd answered %d with something that is not JSON" % status) from None
        if status == 401:
            raise DeviceConnectionError("zevd at %s refused the token: %s" % (self.url, answer.get("error", "")))
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
    raise common.service_error(ServiceError, "zevd answered %d: %s" % (status, error), reports)


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

    def __setattr__(self, name, value):
        raise AttributeError("%s has no attribute %s to set" % (self._full_name(), name))

    def __repr__(self):
        return "<zev signal %s>" % self._full_name()

    def _full_name(self):
        return "%s.%s" % (self._register, self._name)

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
        self._device.lock(self._register, self._name)

    def unlock(self):
        self._device.unlock(self._register, self._name)

    def value_text(self):
        return self._device.get_value_by_string(self._register, self._name)

    def service_read(self):
        return self._device.service_read(self._register, self._name)

    def service_write(self, values):
        self._device.service_write(self._register, self._name, values)

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

    def _range(self, start, count):
        start = common.index(start, "start")
        size = self._info.words
        count = (size - start if start < size else 0) if count is None else common.index(count, "count")
        common.check_range(self.name, size, start, count)
        return start, count

    def _require_memory(self):
        if not self.is_memory:
            raise TypeError("%s is not a memory" % self.name)

    def read(self, start=0, count=None):
        """The application's words as they are (no transfer)."""
        start, count = self._range(start, count)
        if self.is_memory:
            if count == 0:
                return []
            return self._device._call("getBlock", {"register": self.name, "start": start, "count": count,
                                                   "readHw": False})["words"]
        if count == 0:
            return []
        values = self._device._get_all([self], False, raw=True, device_wide=False)[self.name]
        word = 0
        for signal in self._signals:
            word |= values[signal.name] << signal.low
        return [word]

    def _words(self, start, count, read_hw):
        read_hw = common.flag(read_hw, "read_hw")
        self._require_memory()
        start, count = self._range(start, count)
        if count == 0:
            return []
        return self._device._call("getBlock", {"register": self.name, "start": start, "count": count,
                                               "readHw": read_hw}, result=lambda a: a.get("words"))["words"]

    def get(self, start=0, count=None, read_hw=True):
        """A memory's typed Get: count words from start (default: to the end) as a list."""
        return self._words(start, count, read_hw)

    def get_array(self, start=0, count=None, read_hw=True, out=None):
        """As get(), as an array('I') (or into out, a writable buffer of unsigned 32-bit words)."""
        if out is None:
            return array.array("I", self._words(start, count, read_hw))
        try:
            view = memoryview(out)
        except TypeError:
            raise TypeError("out must be a writable, contiguous buffer of unsigned 32-bit words, not %s"
                            % type(out).__name__) from None
        if view.readonly or view.itemsize != 4 or view.ndim != 1 or view.format not in ("I", "L", "=I", "<I", "@I"):
            raise TypeError("out must hold unsigned 32-bit words (format 'I'), not '%s'" % view.format)
        words = self._words(start, count, read_hw)
        if len(view) != len(words):
            raise ValueError("out holds %d word(s), not %d" % (len(view), len(words)))
        view[:] = array.array("I", words)
        return out

    def set(self, words, start=0):
        """A memory's typed Set from start; the library's result (True: the hardware was written)."""
        self._require_memory()
        start = common.index(start, "start")
        words = common.memory_words(words)
        common.check_range(self.name, self._info.words, start, len(words))
        if not words:
            return False
        return self._device._call("setBlock", {"register": self.name, "start": start, "words": words},
                                  result=lambda a: a.get("result"))["result"]

    def service_read(self, signal="", start=0, count=None):
        return self._device.service_read(self.name, signal, start, count)

    def service_write(self, values, signal="", start=0):
        self._device.service_write(self.name, signal, values, start)

    def lock(self, signal="ALL"):
        self._device.lock(self.name, signal)

    def unlock(self, signal="ALL"):
        self._device.unlock(self.name, signal)

    def set_to_default(self):
        """The register's defaults, written: a memory's zeros as one block; a register's
        signals set to their defaults with one write of the register."""
        if self.is_memory:
            return self.set([0] * self.words)
        operations = [{"op": "set", "register": self.name, "signal": s.name,
                       "value": self._info.signals[s.name].default, "mode": 1} for s in self._signals]
        if not operations:
            return False
        operations[-1]["mode"] = 0
        return self._device._batch(operations)[-1]["result"]

    def get_all(self, read_hw=False):
        """Every signal's typed get in one batch request, by name."""
        return self._device._get_all([self], read_hw, device_wide=False)[self.name]


class RemoteDevice(_DeviceBase):
    """A ZEV that zevd serves (made by zev.connect). The same attribute tree, calls and
    exceptions as zev.Device; an unreachable server or a refused token raises
    zev.DeviceConnectionError. close() (or a with block) closes the connection."""

    def __init__(self, url, token=None, token_file=None, timeout=10.0):
        if (token is None) == (token_file is None):
            raise TypeError("give the token or the token_file (one of them)")
        if token_file is not None:
            with open(os.path.expanduser(token_file)) as f:
                token = f.read().strip()
        if not isinstance(token, str) or not token:
            raise ValueError("the token is a non-empty str")
        object.__setattr__(self, "_connection", _Connection(url, token, timeout))
        object.__setattr__(self, "_local", threading.local())
        object.__setattr__(self, "_logs", {})
        status, answer = self._connection.request("GET", "device")
        if status != 200:
            _raise_for(status, answer)
        object.__setattr__(self, "_identity", answer)
        for info in register_map.values():
            object.__setattr__(self, info.name, RemoteRegister(self, info))

    def __repr__(self):
        return "<zev.RemoteDevice %s at %s>" % (self.name, self._connection.url)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Closes the connection (a later call opens it again)."""
        with self._connection.lock:
            self._connection.close()

    name = property(lambda self: self._identity["name"])
    xml_version = property(lambda self: self._identity["xmlVersion"])
    generator_version = property(lambda self: self._identity["generatorVersion"])
    read_only = property(lambda self: bool(self._identity.get("readOnly", False)))

    # ---- requests ----------------------------------------------------------------------

    def _logging_body(self, body):
        if self._logs:
            body["trace"] = True
        return body

    def _write_log_lines(self, answers):
        """Change-log lines of this client's calls, to the files logging() gave."""
        for answer in answers:
            for event in answer.get("events", ()):
                if event.get("type") != "log":
                    continue
                line = event["text"]
                match = re.match(r"(?:Register: (\w+) )?Signal: (\w+)", line)
                file = None
                if match:
                    register, signal = match.groups()
                    file = next((f for (r, s), f in self._logs.items()
                                 if s == signal and (register is None or r == register)), None)
                if file is not None:
                    file.write(line + "\n")

    def _call(self, operation, body, device_wide=False, result=None, method="POST"):
        """One operation; the answer, after its reports are raised as in-process."""
        status, answer = self._connection.request(method, operation, None if method == "GET" else self._logging_body(body))
        self._local.reports = _reports(answer)
        if self._logs:
            self._write_log_lines([answer])
        if status != 200:
            _raise_for(status, answer)
        common.raise_reports(self._local.reports, device_wide, result(answer) if result else None)
        return answer

    def _batch(self, operations, device_wide=False):
        status, answer = self._connection.request("POST", "batch", self._logging_body({"operations": operations}))
        if status != 200 and "results" not in answer:
            _raise_for(status, answer)
        results = answer["results"]
        self._local.reports = [r for result in results for r in _reports(result)]
        if self._logs:
            self._write_log_lines(results)
        for result in results:
            if result["status"] != 200:
                _raise_for(result["status"], result)
        common.raise_reports(self._local.reports, device_wide, None)
        return results

    def _get_all(self, registers, read_hw, raw=False, device_wide=True):
        read_hw = common.flag(read_hw, "read_hw")
        operations = []
        for register in registers:
            for i, signal in enumerate(register._signals):
                operations.append({"op": "get", "register": register.name, "signal": signal.name,
                                   "readHw": read_hw and i == 0})
        values = iter(self._batch(operations, device_wide) if operations else ())
        return {register.name: {s.name: (next(values)["value"] if raw else s._member(next(values)["value"]))
                                for s in register._signals} for register in registers}

    def last_reports(self):
        """The reports of this thread's last call of this device (zev.Report tuples)."""
        return list(getattr(self._local, "reports", ()))

    # ---- the device's calls, as zev.Device has them --------------------------------------

    def set_to_default(self):
        return self._call("defaults", {}, device_wide=True)["result"]

    def snapshot(self):
        return self._call("snapshot", None, device_wide=True, method="GET")["snapshot"]

    def lock_all(self):
        self._call("lock", {"register": "ALL", "signal": "ALL"}, device_wide=True)

    def unlock_all(self):
        self._call("unlock", {"register": "ALL", "signal": "ALL"}, device_wide=True)

    def lock(self, register, signal="ALL"):
        register, signal = common.text(register, "register"), common.text(signal, "signal")
        self._call("lock", {"register": register, "signal": signal}, device_wide=register in ("ALL", "all"))

    def unlock(self, register, signal="ALL"):
        register, signal = common.text(register, "register"), common.text(signal, "signal")
        self._call("unlock", {"register": register, "signal": signal}, device_wide=register in ("ALL", "all"))

    def logging(self, register, signal, file, enable=True):
        """Change-log lines of the named signals to a text file: the lines of this client's
        own calls (the server sends them with each answer while any logging is on)."""
        register, signal = common.text(register, "register"), common.text(signal, "signal")
        enable = common.flag(enable, "enable")
        if file is not None:
            import io
            if not hasattr(file, "write"):
                raise TypeError("the log goes to a file-like object with a write method, not %s" % type(file).__name__)
            if isinstance(file, (io.RawIOBase, io.BufferedIOBase)):
                raise TypeError("the log goes to a text file, not a binary one (%s)" % type(file).__name__)
            if getattr(file, "closed", False):
                raise ValueError("the log cannot go to a closed file")
        self._call("logging", {"register": register, "signal": signal, "enable": enable and file is not None})
        every_register = register in ("ALL", "all")
        for name, info in register_map.items():
            if not every_register and name != register:
                continue
            for s in info.signals:
                if signal in ("ALL", "all") or s == signal:
                    if enable and file is not None:
                        self._logs[(name, s)] = file
                    else:
                        self._logs.pop((name, s), None)
        return enable

    def _memory_range(self, register, signal, start, count, values=None):
        info = register_map.get(register)
        start = common.index(start, "start")
        if values is None:
            count = None if count is None else common.index(count, "count")
        if info is None or signal:
            return start, 1 if count is None else count
        size = info.words
        if count is None:
            count = (size - start if start < size else 0) if size > 1 else 1
        if size == 1 and (start != 0 or count > 1):
            raise IndexError("%s is a one-word register: no start or count beyond one word" % register)
        common.check_range(register, size, start, count)
        return start, count

    def service_read(self, register, signal="", start=0, count=None):
        register, signal = common.text(register, "register"), common.text(signal, "signal")
        start, count = self._memory_range(register, signal, start, count)
        body = {"register": register, "start": start, "count": count}
        if signal:
            body = {"register": register, "signal": signal}
        elif register_map.get(register) is not None and register_map[register].words == 1:
            body = {"register": register}
        return self._call("read", body)["values"]

    def service_write(self, register, signal, values, start=0):
        register, signal = common.text(register, "register"), common.text(signal, "signal")
        values = common.texts(values)
        start, _ = self._memory_range(register, signal, start, len(values), values)
        body = {"register": register, "values": values}
        if signal:
            body["signal"] = signal
        if start:
            body["start"] = start
        self._call("write", body)

    def get_value_by_string(self, register, signal):
        register, signal = common.text(register, "register"), common.text(signal, "signal")
        return self._call("value", {"register": register, "signal": signal})["values"]
