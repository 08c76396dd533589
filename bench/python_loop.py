"""N typed deferred sets from Python, nothing else: run under valgrind --tool=callgrind with
N and with 0, the difference over N is the instructions one call costs (a count the
machine's load does not move).

    PYTHONPATH=build/python valgrind --tool=callgrind /usr/bin/python3 bench/python_loop.py 100000
"""
import sys

import zev

host = zev.SimulatedHost()
dev = zev.Device(host.bus, host.utility, host.status)
dev.set_to_default()


def run(calls):
    sig = dev.AUD_CNTRL0.TRIG_SEL
    value = zev.enums.AUD_CNTRL0.TRIG_SEL.MARKER_SIG_3
    mode = zev.WriteMode.DEFERRED
    for _ in range(calls):
        sig.set(value, mode)


run(int(sys.argv[1]))
