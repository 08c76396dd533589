"""The ZEV from Python: the register-access library rl_zev with typed, discoverable access.

    import zev
    host = zev.SimulatedHost()
    dev = zev.Device(host.bus, host.utility, host.status)
    dev.set_to_default()
    TRIG_SEL = zev.enums.AUD_CNTRL0.TRIG_SEL
    dev.AUD_CNTRL0.TRIG_SEL.set(TRIG_SEL.MARKER_SIG_3, zev.WriteMode.IMMEDIATE)
    dev.AUD_CNTRL0.TRIG_SEL.get(read_hw=True)       # <TRIG_SEL.MARKER_SIG_3: 3>

Registers, signals and enumerations are built at import from the register map generated
with the library; the typed calls go straight to the library's Set and Get.
"""
from enum import IntEnum
from types import SimpleNamespace

from . import _zev
from ._zev import HWAccess, ReportLog, ServiceError, SimBus, SimStatusRegister, StatusRegister, Utility

__all__ = ["Device", "WriteMode", "LockState", "enums", "register_map", "SimulatedHost", "HWAccess", "Utility",
           "StatusRegister", "SimBus", "SimStatusRegister", "ReportLog", "ServiceError"]


class WriteMode(IntEnum):
    """How a typed set reaches the hardware."""
    IMMEDIATE = 0   # written at once
    DEFERRED = 1    # kept until a later writing set of the same register
    IF_CHANGED = 2  # written only when the register's value changes


class LockState(IntEnum):
    UNLOCKED = 0
    LOCKED = 1
    SERVICE_ACCESS = 2


def _load_map():
    registers = {}
    for name, address, width, words, access, status, signals in _zev.register_map():
        registers[name] = SimpleNamespace(
            name=name, address=address, width=width, words=words, access=access, status=status,
            signals={s[0]: SimpleNamespace(name=s[0], low=s[1], width=s[2], default=s[3],
                                           enumerators=dict(s[4])) for s in signals})
    return registers


register_map = _load_map()
"""Every register of the generated map by name: address, width, words, access strategy, signals."""

# The enumerations, one IntEnum per enumerated signal: zev.enums.AUD_CNTRL0.TRIG_SEL.
enums = SimpleNamespace()
for _reg in register_map.values():
    _space = SimpleNamespace()
    for _sig in _reg.signals.values():
        if _sig.enumerators:
            setattr(_space, _sig.name, IntEnum(_sig.name, _sig.enumerators, module=__name__,
                                               qualname="enums.%s.%s" % (_reg.name, _sig.name)))
    setattr(enums, _reg.name, _space)
del _reg, _space, _sig


class SimulatedHost:
    """The simulated ZEV's three host objects, wired as a host wires them."""

    def __init__(self):
        self.bus = SimBus()
        self.status = SimStatusRegister()
        self.utility = ReportLog()


class Device:
    """One ZEV on the given host objects (kept alive by the device). Registers are
    attributes (dev.AUD_CNTRL0), signals attributes of their register (dev.AUD_CNTRL0.TRIG_SEL),
    each enumerated signal's IntEnum is its Enum attribute."""

    def __init__(self, bus, utility, status):
        self._device = device = _zev.Device(bus, utility, status)
        for register, signals in device._parts():
            register_enums = getattr(enums, register.name)
            for signal in signals:
                enum = getattr(register_enums, signal.name, None)
                if enum is not None:
                    signal.Enum = enum
                setattr(register, signal.name, signal)
            setattr(self, register.name, register)

    def __getattr__(self, name):
        return getattr(self._device, name)

    def __dir__(self):
        return sorted(set(object.__dir__(self)) | set(dir(self._device)))

    def registers(self):
        """The registers in the device's list order."""
        return [getattr(self, name) for name in register_map]

    def logging(self, register, signal, file, enable=True):
        """Change-log lines of the named signals ("ALL" for all) to a file-like object."""
        return self._device.logging(register, signal, file, enable)
