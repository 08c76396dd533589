"""The same calls on a device in this process and on one zevd serves over loopback, timed in
one process: a typed get (one request on a kept-alive connection), a typed set, a register's
words, and all 2,316 signals (one device call in-process, one batch request remotely).

    PYTHONPATH=build/python /usr/bin/python3 bench/python_remote.py build/zevd
"""
import os
import re
import subprocess
import sys
import tempfile
import time

import zev


def best(call, repeat, number):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            call()
        times.append((time.perf_counter() - start) / number)
    return min(times)


def main():
    zevd = sys.argv[1] if len(sys.argv) > 1 else "build/zevd"
    folder = tempfile.mkdtemp()
    token_file = os.path.join(folder, "token")
    with open(token_file, "w") as f:
        f.write("bench-token-0123456789abcdef\n")
    server = subprocess.Popen([zevd, "--listen", "127.0.0.1:0", "--token-file", token_file,
                               "--audit-log", os.path.join(folder, "audit.log")],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        url = re.search(r"listening on (http://\S+)", server.stdout.readline()).group(1)
        host = zev.SimulatedHost()
        local = zev.Device(host.bus, host.utility, host.status)
        remote = zev.connect(url, token_file=token_file)
        TRIG_SEL = zev.enums.AUD_CNTRL0.TRIG_SEL
        print("| Call | in-process | remote (zevd, loopback) |")
        print("|---|---|---|")
        for dev in (local, remote):
            dev.set_to_default()
        cases = [
            ("typed get, enumerated (`AUD_CNTRL0.TRIG_SEL.get()`)", lambda d: d.AUD_CNTRL0.TRIG_SEL.get, 2000),
            ("typed get(read_hw=True)", lambda d: (lambda: d.AUD_CNTRL0.TRIG_SEL.get(True)), 2000),
            ("typed set, IMMEDIATE", lambda d: (lambda: d.AUD_CNTRL0.TRIG_SEL.set(TRIG_SEL.MARKER_SIG_3)), 2000),
            ("a register's signals (`AUD_CNTRL0.get_all()`)", lambda d: d.AUD_CNTRL0.get_all, 1000),
            ("64 memory words (`SWP_DATA_RAM.get(0, 64)`)", lambda d: (lambda: d.SWP_DATA_RAM.get(0, 64)), 1000),
            ("all 2,316 signals (`dev.get_all()`)", lambda d: d.get_all, 20),
        ]
        for title, make, number in cases:
            figures = []
            for dev in (local, remote):
                call = make(dev)
                call()
                seconds = best(call, 5, number if dev is remote else number * 20)
                figures.append("%.1f ms" % (seconds * 1e3) if seconds > 1e-3 else "%.1f µs" % (seconds * 1e6))
            print("| %s | %s | %s |" % (title, figures[0], figures[1]))
        remote.close()
    finally:
        server.terminate()
        server.wait(10)


if __name__ == "__main__":
    main()
