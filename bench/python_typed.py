"""Typed set/get from Python against the same call from C++, on the same simulated host
and the same signal, in one process: ns per call and what Python adds.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_typed.py
"""
import timeit

import zev
from zev import _zev

host = zev.SimulatedHost()
dev = zev.Device(host.bus, host.utility, host.status)
dev.set_to_default()
CALLS = 200_000
cases = [
    ("set, 3-bit enumerated, IMMEDIATE", dev.AUD_CNTRL0.TRIG_SEL, "sig.set(value, mode)",
     zev.enums.AUD_CNTRL0.TRIG_SEL.MARKER_SIG_3, zev.WriteMode.IMMEDIATE, False),
    ("set, 3-bit enumerated, DEFERRED", dev.AUD_CNTRL0.TRIG_SEL, "sig.set(value, mode)",
     zev.enums.AUD_CNTRL0.TRIG_SEL.MARKER_SIG_3, zev.WriteMode.DEFERRED, False),
    ("set, 5-bit number, IMMEDIATE", dev.DIN_MS_DET_LOW.MS_DET_LOW, "sig.set(value, mode)", 17,
     zev.WriteMode.IMMEDIATE, False),
    ("get(read_hw=False), 3-bit enumerated", dev.AUD_CNTRL0.TRIG_SEL, "sig.get(False)", 0, 0, True),
    ("get(read_hw=False), 5-bit number", dev.DIN_MS_DET_LOW.MS_DET_LOW, "sig.get(False)", 0, 0, True),
]
print("| Call | Python | C++ | added by Python |")
print("|---|---|---|---|")
for title, sig, stmt, value, mode, is_get in cases:
    python_ns = min(timeit.repeat(stmt, globals={"sig": sig, "value": value, "mode": mode},
                                  number=CALLS, repeat=5)) / CALLS * 1e9
    cpp_ns = min(_zev._time_cpp_calls(sig, int(value), int(mode), CALLS, is_get) for _ in range(5))
    print("| %s | %.0f ns | %.1f ns | %.0f ns |" % (title, python_ns, cpp_ns, python_ns - cpp_ns))
