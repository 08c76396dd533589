#!/usr/bin/env python3
"""What a local process without the token can make zevd spend: the peak resident memory
(VmHWM) of a fresh zevd before and after each request below, beside a legitimate client's
session in the same run, and how long each took to be turned away.

    bench/server_attacks.py build/zevd
"""
import gzip
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

ZEVD = sys.argv[1]
TOKEN = "0123456789abcdef0123456789abcdef"


def peak_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmHWM:\s+(\d+) kB", f.read()).group(1))


def start():
    work = tempfile.mkdtemp(prefix="zevd-bench-")
    token = os.path.join(work, "token")
    with open(token, "w") as f:
        f.write(TOKEN)
    daemon = subprocess.Popen([ZEVD, "--listen", "127.0.0.1:0", "--token-file", token, "--audit-log", os.devnull],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    port = int(re.search(r":(\d+)$", daemon.stdout.readline().split()[-1]).group(1))
    return daemon, port


def exchange(port, data, wait=5.0):
    """Sends what it can of data, then reads until the server closes or wait passes."""
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.settimeout(wait)
        try:
            s.sendall(data)
        except OSError:
            pass  # the server closed early: what it answered is still there to read
        answer = b""
        try:
            while True:
                part = s.recv(65536)
                if not part:
                    break
                answer += part
        except OSError:
            pass
        return answer


def legitimate(port):
    head = "Authorization: Bearer %s\r\n" % TOKEN
    for _ in range(5):
        exchange(port, ("GET /api/v1/map HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + head + "\r\n").encode())
    body = b'{"register":"SWP_DATA_RAM","start":0,"count":4096}'
    exchange(port, b"POST /api/v1/words HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + head.encode() +
             b"Content-Length: %d\r\n\r\n" % len(body) + body)
    return b"HTTP/1.1 200"


BOMB = gzip.compress(b"[" * (128 << 20), 9)  # 128 MiB inflated, some 130 KiB sent


def gzip_bomb(port):
    body = BOMB
    return exchange(port, b"POST /api/v1/write HTTP/1.1\r\nHost: x\r\nContent-Encoding: gzip\r\n"
                    b"Content-Length: %d\r\n\r\n" % len(body) + body)


def chunked(port):
    chunk = b"100000\r\n" + b"{" * (1 << 20) + b"\r\n"
    return exchange(port, b"POST /api/v1/write HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk * 32)


def ranges(port):
    return exchange(port, b"GET /console.js HTTP/1.1\r\nHost: x\r\nConnection: close\r\nRange: bytes=0-" +
                    b",0-" * 1500 + b"\r\n\r\n")


def headers(port):
    return exchange(port, b"GET /api/v1/device HTTP/1.1\r\nHost: x\r\n" +
                    b"".join(b"X-Filler-%d: %s\r\n" % (i, b"a" * 1000) for i in range(16000)) + b"\r\n")


def trickling(port):
    sockets = [socket.create_connection(("127.0.0.1", port)) for _ in range(1000)]
    for byte in b"GET /api/v1/device HTTP/1.1\r\nHost:":
        for s in sockets:
            try:
                s.send(bytes([byte]))
            except OSError:
                pass
    for s in sockets:
        s.close()
    return b"HTTP/1.1 -"


def full_headers(count):
    """count connections, each holding a header of nearly the largest size that never ends."""
    def attack(port):
        sockets = []
        for _ in range(count):
            try:
                s = socket.create_connection(("127.0.0.1", port))
                s.sendall(b"GET /api/v1/device HTTP/1.1\r\nHost: x\r\nX-Filler: " + b"a" * 16000)
                sockets.append(s)
            except OSError:
                pass  # closed to make room
        time.sleep(1.0)
        for s in sockets:
            s.close()
        return b"HTTP/1.1 -"
    return attack


def kept_after_large_headers(count, filler=15500):
    """count connections, each sending a whole public GET with a header of filler bytes, then staying."""
    def attack(port):
        sockets = []
        for _ in range(count):
            try:
                s = socket.create_connection(("127.0.0.1", port))
                s.sendall(b"GET /index.html HTTP/1.1\r\nHost: x\r\nX-Filler: " + b"a" * filler + b"\r\n\r\n")
                sockets.append(s)
            except OSError:
                pass
        time.sleep(1.0)
        for s in sockets:
            s.close()
        return b"HTTP/1.1 -"
    return attack


def main():
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 16384), hard))  # zevd inherits it
    print("%-44s %12s %12s %10s %s" % ("request", "peak before", "peak after", "growth", "answer"))
    for name, attack in [("a legitimate session (baseline)", legitimate),
                         ("128 MiB gzip bomb, no token", gzip_bomb),
                         ("32 MiB chunked body, no token", chunked),
                         ("1,500 overlapping ranges on /console.js", ranges),
                         ("16 MB of header fields", headers),
                         ("1,000 connections dripping a header", trickling),
                         ("1,000 connections holding a 16 KB header", full_headers(1000)),
                         ("4,000 connections holding a 16 KB header", full_headers(4000)),
                         ("4,000 kept connections after a small header", kept_after_large_headers(4000, 10)),
                         ("4,000 kept connections after a 15.5 KB header", kept_after_large_headers(4000))]:
        daemon, port = start()
        try:
            legitimate(port)  # warm: the server's own first use is not the attack's cost
            before = peak_kib(daemon.pid)
            started = time.monotonic()
            answer = attack(port)
            took = time.monotonic() - started
            after = peak_kib(daemon.pid)
        finally:
            daemon.terminate()
            daemon.wait()
        status = answer.split(b"\r\n", 1)[0].decode(errors="replace")
        print("%-44s %9d KiB %9d KiB %6.1f MiB %s (%.2f s)" % (name, before, after, (after - before) / 1024.0,
                                                             status, took))


if __name__ == "__main__":
    main()
