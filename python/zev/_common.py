"""What the device in this process and a device behind zevd share: the exceptions, the
report tuple, the write modes and lock states, the enumerations and the argument checks
made before anything reaches a device."""
import collections
import enum
import io
import operator

from . import _zev
from enum import IntEnum


class ServiceError(RuntimeError):
    """The library refused the call: the text is the library's error text. `reports` holds
    what it reported during the call (zev.Report tuples)."""
    reports: list = []
    result = None


class ReportedError(ServiceError):
    """The call ran, but the library reported a problem on the way (a refused direction, a
    read-back that never got ready, a host error it caught): what it returned is not to be
    trusted. `reports` holds the reports, `result` what the library returned."""


class HostFault(ServiceError):
    """A host object written in C++ threw (in-process), or the server's host did (HTTP 500)."""


class NestedCallError(RuntimeError):
    """A device was called from inside its own call (a host object's method calling its
    own device): it would wait for itself."""


class DeviceConnectionError(ConnectionError):
    """A remote device cannot be reached, or its server refused the token."""


class OutcomeUnknownError(DeviceConnectionError):
    """A changing request got no answer in time or on any connection: the server may or may
    not have carried it out. Read the device to know."""


class DeviceRestartedError(DeviceConnectionError):
    """The server restarted since this client's last answer: the values and locks set before
    are gone. Raised once, with nothing done; the next call goes to the new run."""


Report = collections.namedtuple("Report", "file line function message access_denied")
Report.__doc__ = """One report of the library, as the host's utility got it: source file, line,
function, message (",HW device not ready!"), and access_denied (a refused direction)."""
Report.__module__ = "zev"


class WriteMode(IntEnum):
    """How a typed set reaches the hardware."""
    IMMEDIATE = 0   # written at once
    DEFERRED = 1    # kept until a later writing set of the same register
    IF_CHANGED = 2  # written only when the register's value changes


class LockState(IntEnum):
    """A signal's (or a memory's) lock state."""
    UNLOCKED = 0
    LOCKED = 1
    SERVICE_ACCESS = 2


class Enumeration(IntEnum):
    """Base of every signal's enumeration. A value the description does not name (a field
    can hold it all the same) comes back as a stand-in member UNNAMED_<value>, which is not
    among the enumeration's members."""

    @classmethod
    def _missing_(cls, value):
        if type(value) is not int or not 0 <= value <= cls.__dict__.get("_field_max_", -1):
            return None
        member = int.__new__(cls, value)
        member._name_ = "UNNAMED_%d" % value
        member._value_ = value
        return cls._value2member_map_.setdefault(value, member)


def raise_reports(reports, device_wide, result):
    """Raises ReportedError for the reports of a call (device-wide calls let refused
    directions pass: they are part of them)."""
    for report in reports:
        if not device_wide or not report.access_denied:
            error = ReportedError(report.function + report.message)
            error.reports, error.result = list(reports), result
            raise error


def service_error(cls, text, reports):
    error = cls(text)
    error.reports = list(reports)
    return error


# ---- Argument checks, with the same messages in-process and remote ----------------------

def integer(value, what):
    if isinstance(value, (bool, float)) or not hasattr(type(value), "__index__"):
        raise TypeError("%s must be an int, not %s" % (what, type(value).__name__))
    number = operator.index(value)
    # Beyond a 64-bit int the in-process module cannot even take the number.
    if not -2 ** 63 <= number < 2 ** 63:
        raise ValueError("%s %s is not a 32-bit word (0 to 4294967295)" % (what, value))
    return number


def word(value, what):
    if isinstance(value, enum.Enum):
        raise TypeError("%s must be an int, not %r" % (what, value))
    number = integer(value, what)
    if not 0 <= number <= 0xFFFFFFFF:
        raise ValueError("%s %s is not a 32-bit word (0 to 4294967295)" % (what, value))
    return number


def index(value, what):
    number = integer(value, what)
    if number < 0:
        raise IndexError("%s must not be negative, not %d" % (what, number))
    if number > 0xFFFFFFFF:
        raise IndexError("%s %d is beyond every memory" % (what, number))
    return number


def flag(value, what):
    if value is True or value is False:
        return value
    raise TypeError("%s must be True or False, not %r" % (what, value))


def mode(value):
    if type(value) is int or type(value) is WriteMode:
        if 0 <= value <= 2:
            return int(value)
        raise ValueError("mode must be zev.WriteMode.IMMEDIATE (0), DEFERRED (1) or IF_CHANGED (2), not %r" % (value,))
    raise TypeError("mode must be a zev.WriteMode (or 0, 1, 2), not %r" % (value,))


def text(value, what):
    if not isinstance(value, str):
        raise TypeError("%s must be a str, not %s" % (what, type(value).__name__))
    if "\0" in value:
        raise ValueError("%s must not hold a NUL character" % what)
    return value


def texts(values):
    if isinstance(values, str) or not isinstance(values, (list, tuple)):
        raise TypeError("values must be a list of str, not %s" % type(values).__name__)
    return [text(v, "a value text") for v in values]


def signal_value(name, maximum, enum_type, value):
    """A signal's value: an int from 0 to its maximum, or a member of its own enumeration."""
    if type(value) is int or (enum_type is not None and type(value) is enum_type):
        number = int(value)
    elif isinstance(value, enum.Enum):
        raise TypeError("%s takes %s, not %r" % (name, "a member of zev.enums.%s or an int" % name
                                                  if enum_type is not None else "an int", value))
    else:
        number = integer(value, "a signal value")
    if not 0 <= number <= maximum:
        register, signal = name.split(".", 1)
        raise ValueError(_zev._value_limit_text(register, signal, maximum, str(number)))
    return number


def memory_words(values):
    """Words for a memory: a sequence of ints or a buffer of unsigned 32-bit words."""
    if isinstance(values, str):
        raise TypeError("words must be a sequence of ints or a buffer of unsigned 32-bit words, not str")
    try:
        view = memoryview(values)
    except TypeError:
        view = None
    if view is not None:
        if view.ndim != 1 or view.itemsize != 4 or view.format not in ("I", "L", "=I", "<I", "@I"):
            raise TypeError("a buffer of words must be one-dimensional unsigned 32-bit (format 'I'), not '%s'"
                            % view.format)
        return view.tolist()
    if not isinstance(values, collections.abc.Sequence):
        raise TypeError("words must be a sequence of ints or a buffer of unsigned 32-bit words, not %s"
                        % type(values).__name__)
    return [word(v, "a memory word") for v in values]


def check_words(count):
    """More words than one request takes: refused before the range, as the device's check."""
    if count > _zev._max_words:
        raise ValueError(_zev._too_many_words_text())


def check_values(count):
    """As check_words, for value texts (whose request might otherwise first pass zevd's body limit)."""
    if count > _zev._max_values:
        raise ValueError(_zev._too_many_values_text())


def check_range(name, size, start, count):
    if start > size or count > size - start:
        raise IndexError(_zev._range_text(name, size, start, count))


def check_text_file(file, what):
    """A log's target: a text file open for writing."""
    if not hasattr(file, "write"):
        raise TypeError("%s goes to a file-like object with a write method, not %s" % (what, type(file).__name__))
    if isinstance(file, (io.RawIOBase, io.BufferedIOBase)):
        raise TypeError("%s goes to a text file, not a binary one (%s)" % (what, type(file).__name__))
    if getattr(file, "closed", False):
        raise ValueError("%s cannot go to a closed file" % what)


# A register's own ranges, checked before the call as the device in this process checks
# them, with the runtime's texts.

def memory_range(register, words, start, count):
    """A range within a register or memory (count: to the end by default)."""
    start = index(start, "start")
    count = (words - start if start < words else 0) if count is None else index(count, "count")
    check_range(register, words, start, count)
    return start, count

