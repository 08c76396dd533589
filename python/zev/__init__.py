"""The ZEV from Python: the register-access library rl_zev with typed, discoverable access,
on a device in this process or on one that zevd serves.

    import zev
    host = zev.SimulatedHost()
    dev = zev.Device(host.bus, host.utility, host.status)   # or zev.connect(url, token_file=...)
    dev.set_to_default()
    TRIG_SEL = zev.enums.AUD_CNTRL0.TRIG_SEL
    dev.AUD_CNTRL0.TRIG_SEL.set(TRIG_SEL.MARKER_SIG_3, zev.WriteMode.IMMEDIATE)
    dev.AUD_CNTRL0.TRIG_SEL.get(read_hw=True)       # <TRIG_SEL.MARKER_SIG_3: 3>

Registers, signals and enumerations are built at import from the register map generated
with the library. Calls on one device are serialised (threads may share it); the GIL is
released while the library works. A Python exception raised in a host object during a call
(KeyboardInterrupt included) is raised by the call; so are the library's reports
(zev.ReportedError) and refusals (zev.ServiceError).
"""
import json
import os
import warnings
from types import SimpleNamespace

from . import _common as common
from . import _zev
from ._common import (DeviceConnectionError, DeviceRestartedError, Enumeration, HostFault, LockState, NestedCallError,
                      OutcomeUnknownError, Report, ReportedError, ServiceError, WriteMode)
from ._zev import HWAccess, ReportLog, Register, Signal, SimBus, SimStatusRegister, StatusRegister, Utility

__version__ = _zev.__version__

__all__ = ["Device", "connect", "WriteMode", "LockState", "Report", "enums", "register_map", "identity", "SimulatedHost",
           "HWAccess", "Utility", "StatusRegister", "SimBus", "SimStatusRegister", "ReportLog", "Register", "Signal",
           "ServiceError", "ReportedError", "HostFault", "NestedCallError", "DeviceConnectionError", "OutcomeUnknownError",
           "DeviceRestartedError", "__version__"]

_zev._configure(ServiceError, ReportedError, HostFault, NestedCallError, Report, LockState, WriteMode)


def _load_map():
    registers = {}
    for name, address, width, words, access, status, signals, readable, writable in _CATALOGUE[1]:
        registers[name] = SimpleNamespace(
            name=name, address=address, width=width, words=words, access=access, status=status,
            readable=readable, writable=writable,
            signals={s[0]: SimpleNamespace(name=s[0], low=s[1], width=s[2], default=s[3],
                                           enumerators=dict(s[4])) for s in signals})
    return registers


_CATALOGUE = _zev.register_map()
identity = _CATALOGUE[0]
"""The device this package is built for: its name and the versions of its description and
generator (a remote device's server must have the same)."""
register_map = _load_map()
"""Every register of the device's catalogue by name: address, width, words, access strategy,
readable and writable (whether each direction reaches the device), signals."""

# The enumerations, one IntEnum per enumerated signal: zev.enums.AUD_CNTRL0.TRIG_SEL.
enums = SimpleNamespace()
for _reg in register_map.values():
    _space = SimpleNamespace()
    for _sig in _reg.signals.values():
        if _sig.enumerators:
            _enum = Enumeration(_sig.name, _sig.enumerators, module=__name__,
                                qualname="enums.%s.%s" % (_reg.name, _sig.name))
            _enum._field_max_ = (1 << _sig.width) - 1
            setattr(_space, _sig.name, _enum)
    setattr(enums, _reg.name, _space)
del _reg, _space, _sig, _enum


class SimulatedHost:
    """The simulated ZEV's three host objects, wired as a host wires them."""

    def __init__(self):
        self.bus = SimBus()
        self.status = SimStatusRegister()
        self.utility = ReportLog()


class Device:
    """One ZEV: on the given host objects in this process (kept alive by the device), made by
    the device runtime, or the one a zevd serves (zev.connect makes that one). Registers are
    attributes (dev.AUD_CNTRL0), signals attributes of their register (dev.AUD_CNTRL0.TRIG_SEL);
    each enumerated signal's IntEnum is its Enum. The tree is fixed and cannot be copied."""

    def __init__(self, bus, utility, status):
        device = _zev.Device(bus, utility, status)
        object.__setattr__(self, "_device", device)
        for register, signals in device._parts():
            register_enums = getattr(enums, register.name)
            for signal in signals:
                enum = getattr(register_enums, signal.name, None)
                if enum is not None:
                    signal._set_enum(enum)
            object.__setattr__(self, register.name, register)

    def __repr__(self):
        return "<zev.Device %s on %s>" % (self.name, type(self.bus).__name__)

    def __getattr__(self, name):
        # Only for names the device does not have (the same text here and remote), or for a
        # property that raised AttributeError: its own text.
        attribute = getattr(type(self), name, None)
        if isinstance(attribute, property):
            return attribute.fget(self)
        raise AttributeError("zev.Device has no register or attribute %s" % name, name=name, obj=self)

    def __setattr__(self, name, value):
        if name in register_map:
            raise AttributeError("%s is a register: write its signals with .set(value, mode)" % name)
        raise AttributeError("zev.Device has no register %s to set (its attributes are fixed)" % name)

    def __delattr__(self, name):
        self.__setattr__(name, None)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Nothing to close in this process (a remote device closes its connection): one
        script runs on both."""

    def __copy__(self):
        raise TypeError("a device cannot be copied: it is the one object that reaches its hardware")

    def __deepcopy__(self, memo):
        self.__copy__()

    def __reduce__(self):
        raise TypeError("a device cannot be pickled")

    def registers(self):
        """The registers in the device's list order."""
        return [getattr(self, name) for name in register_map]

    def get_all(self, read_hw=False):
        """Every signal's typed get, {register: {signal: value}}, in one call of the device
        (one batch request remotely); with read_hw=True each register is read once. Refused
        directions (write-only registers) stay in last_reports(), as in set_to_default()."""
        return self._device.get_all([r for r in self.registers() if not r.is_memory], read_hw)

    @property
    def read_only(self):
        """True for a device served by a read-only zevd (it refuses every change)."""
        return getattr(self._device, "read_only", False)

    @property
    def name(self):
        """The device's name, "ZEV"."""
        return self._device.name

    @property
    def xml_version(self):
        """The version of the register description the library was generated from."""
        return self._device.xml_version

    @property
    def generator_version(self):
        return self._device.generator_version

    @property
    def bus(self):
        """The host's bus object (a remote device has none)."""
        return self._device.bus

    @property
    def utility(self):
        """The host's utility object (it gets every report as well)."""
        return self._device.utility

    @property
    def status(self):
        """The host's status-register object."""
        return self._device.status

    def set_to_default(self):
        """Every register's defaults, written (SetToDefault). Refused directions of read-only
        registers are part of it: they stay in last_reports(); other reports raise."""
        return self._device.set_to_default()

    def snapshot(self):
        """The snapshot script of every register and signal, as a string."""
        return self._device.snapshot()

    def lock_all(self):
        """Locks every signal and memory."""
        self._device.lock_all()

    def unlock_all(self):
        """Unlocks everything, writing the application's values back."""
        self._device.unlock_all()

    def lock(self, register, signal="ALL"):
        """Locks a signal by name ("ALL" for all); a refusal raises zev.ServiceError."""
        self._device.lock(register, signal)

    def unlock(self, register, signal="ALL"):
        """Unlocks a signal by name ("ALL" for all), writing the application's value back."""
        self._device.unlock(register, signal)

    def logging(self, register, signal, file, enable=True):
        """Change-log lines of the named signals ("ALL" for all) to a text file; with
        enable=False they stop and the file is let go. An unknown name raises
        zev.ServiceError; a write of the file that raises is raised by the call that logged."""
        return self._device.logging(register, signal, file, enable)

    def service_read(self, register, signal="", start=0, count=None):
        """The text service's read by name: a signal, a whole register, or memory words
        (count: the rest of the memory by default). Values as the library's texts."""
        return self._device.service_read(register, signal, start, count)

    def service_write(self, register, signal, values, start=0):
        """The text service's write by name (the signal or memory stays LOCKED until unlock)."""
        self._device.service_write(register, signal, values, start)

    def get_value_by_string(self, register, signal):
        """A signal's value as the library's text (GetValueByString)."""
        return self._device.get_value_by_string(register, signal)

    def last_reports(self):
        """The reports of this thread's last call of this device (zev.Report tuples)."""
        return self._device.last_reports()

    # ---- register sets: the file zevctl and the console save, load and apply ----------------

    def _sets(self, operation, body):
        status, answer = self._device.sets(operation, json.dumps(body))
        answer = json.loads(answer)
        if status != 200:
            raise common.service_error(ServiceError, answer.get("error", "HTTP %d" % status), [])
        answer["reports"] = [Report(r["file"], r["line"], r["function"], r["message"], r["accessDenied"])
                             for r in answer.get("reports", ())]
        return answer

    def save_set(self, file=None, registers=None, memories=False):
        """The device's values as a register set: the text of the file zevctl save writes,
        byte for byte, returned and written to file (a path or a text file) when given.
        registers: names (default every register); memories=True adds every memory when no
        register is named. A register that cannot be read (write-only) is left out with a
        warning."""
        body = {"memories": common.flag(memories, "memories")}
        if registers is not None:
            body["registers"] = _names(registers)
        answer = self._sets("save", body)
        for skipped in answer["skipped"]:
            warnings.warn("not saved: %s: %s" % (skipped["register"], skipped["reason"]), stacklevel=2)
        text = json.dumps(answer["set"], indent=1, ensure_ascii=False) + "\n"
        if file is not None:
            _write_text(file, text)
        # Values read while the library reported (a read-back never ready) are not to be
        # trusted: the file is written, as zevctl writes it, and the caller is told.
        common.raise_reports(answer["reports"], False, text)
        return text

    def compare_set(self, file=None, registers=None):
        """Where the device differs from a register set (a path, a text file or the parsed
        document), or with no set, from its defaults (registers: names, default every
        register). Each difference: {"register", "signal" or "word", "set", "device"}."""
        if file is None:
            body = {} if registers is None else {"registers": _names(registers)}
        elif registers is not None:
            raise TypeError("registers name what is compared with the defaults: give a set or registers")
        else:
            body = {"set": _load_set(file)}
        answer = self._sets("compare", body)
        common.raise_reports(answer["reports"], False, answer["differences"])
        return answer["differences"]

    def apply_set(self, file, only=None):
        """Writes a register set (a path, a text file or the parsed document) to the device:
        all of it, or only the fields named ("REG" or "REG.SIGNAL", or the service's items
        such as {"register": "ENT_H1", "start": 2, "count": 3}). A field the device refuses
        does not stop the others: {"written", "refused", "results"}, each refusal in results."""
        body = {"set": _load_set(file)}
        if only is not None:
            if isinstance(only, (str, dict)) or not isinstance(only, (list, tuple)):
                raise TypeError("only must be a list of fields, not %s" % type(only).__name__)
            body["only"] = [_field(item) for item in only]
        return self._sets("apply", body)


def _names(registers):
    if isinstance(registers, str) or not isinstance(registers, (list, tuple)):
        raise TypeError("registers must be a list of names, not %s" % type(registers).__name__)
    if not registers:
        raise ValueError("registers must name at least one register (None: every register)")
    return [common.text(name, "a register name") for name in registers]


def _load_set(file):
    if isinstance(file, dict):
        return file
    if isinstance(file, (str, os.PathLike)):
        with open(file, encoding="utf-8") as f:
            return json.load(f)
    if hasattr(file, "read"):
        return json.load(file)
    raise TypeError("a register set is a path, a text file or its parsed document, not %s" % type(file).__name__)


def _write_text(file, text):
    if isinstance(file, (str, os.PathLike)):
        with open(file, "w", encoding="utf-8", newline="") as f:
            f.write(text)
    elif hasattr(file, "write"):
        file.write(text)
    else:
        raise TypeError("file is a path or a text file, not %s" % type(file).__name__)


def _field(item):
    if isinstance(item, dict):
        return item
    register, dot, signal = common.text(item, "a field").partition(".")
    return {"register": register, "signal": signal} if dot else {"register": register}


def connect(url, token=None, token_file=None, timeout=10.0):
    """The device a zevd serves at url ("http://127.0.0.1:7411"), with the same attribute
    tree, enumerations, memories, locks, text service, snapshot and exceptions as a Device.
    The token is given, or read from token_file (zevd's --token-file, ~/.zevd-token)."""
    from .remote import RemoteDevice
    return RemoteDevice(url, token=token, token_file=token_file, timeout=timeout)
