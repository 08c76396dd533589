"""A remote device under faults of the wire and the server: a proxy that loses answers or
connections, a server that trickles, restarts or was built from another description."""
import os
import re
import socket
import threading
import time

import pytest

import zev

from conftest import TOKEN, start_zevd


def _message(sock):
    """One whole HTTP message (header and Content-Length body) off sock; b"" once it closed."""
    data = b""
    while b"\r\n\r\n" not in data:
        part = sock.recv(65536)
        if not part:
            return b""
        data += part
    head, _, body = data.partition(b"\r\n\r\n")
    length = re.search(rb"(?i)\r\ncontent-length: *(\d+)", head)
    while length and len(body) < int(length.group(1)):
        body += sock.recv(65536)
    return head + b"\r\n\r\n" + body


class Proxy:
    """Carries each request to the server on a connection of its own; fault(n, request)
    says what becomes of the n-th request (from 0): "pass", "drop" (its answer is lost),
    "reset" (the connection goes before it is carried on)."""

    def __init__(self, url, fault):
        self.target = re.match(r"http://([^:/]+):(\d+)", url).groups()
        self.fault, self.seen = fault, []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:%d" % self.listener.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            client, _ = self.listener.accept()
            threading.Thread(target=self._carry, args=(client,), daemon=True).start()

    def _carry(self, client):
        with client, socket.create_connection((self.target[0], int(self.target[1]))) as server:
            while True:
                request = _message(client)
                if not request:
                    return
                self.seen.append(request)
                what = self.fault(len(self.seen) - 1, request)
                if what == "reset":
                    return
                server.sendall(request)
                answer = _message(server)
                if what == "drop":
                    return
                client.sendall(answer)


def _audited(token_file, operation):
    with open(os.path.join(os.path.dirname(token_file), "audit.log")) as log:
        return sum('"operation":"%s"' % operation in line for line in log)


def test_a_change_whose_answer_is_lost_runs_once_or_is_said_unknown(zevd):
    url, token_file = zevd
    with zev.connect(url, token_file=token_file) as dev:
        dev.DIN_CNTRL0.FIFOLEVEL.set(1)
    before = _audited(token_file, "set")
    # The answer of the set is lost once, then its connection is reset once before it is
    # carried on: the client asks again under the same id, and the device sets once.
    proxy = Proxy(url, lambda n, request: "drop" if n == 1 else "reset" if n == 2 else "pass")
    with zev.connect(proxy.url, token_file=token_file) as dev:
        assert dev.DIN_CNTRL0.FIFOLEVEL.set(2, zev.WriteMode.IF_CHANGED) is True
    ids = [re.search(rb"ZEV-Request-Id: (\S+)", r).group(1) for r in proxy.seen if r.startswith(b"POST")]
    assert len(ids) == 3 and len(set(ids)) == 1, "one request, one id: %r" % ids
    time.sleep(0.2)  # the audit log is written whole, a moment after the answer
    assert _audited(token_file, "set") == before + 1
    # Every answer lost: the caller is told the outcome is unknown, within its timeout.
    lost = Proxy(url, lambda n, request: "drop" if request.startswith(b"POST /api/v1/set ") else "pass")
    with zev.connect(lost.url, token_file=token_file, timeout=2) as dev:
        with pytest.raises(zev.OutcomeUnknownError, match="may or may not have been carried out"):
            dev.DIN_CNTRL0.FIFOLEVEL.set(3)
        assert dev.DIN_CNTRL0.FIFOLEVEL.get() in (2, 3), "the connection serves the next call"


def _answering(answer):
    """A server of one connection that reads a request and calls answer(client): its address."""
    listener = socket.create_server(("127.0.0.1", 0))

    def serve():
        client, _ = listener.accept()
        with client:
            _message(client)
            try:
                answer(client)
            except OSError:
                pass  # the client gave up, as it must

    threading.Thread(target=serve, daemon=True).start()
    return "http://127.0.0.1:%d" % listener.getsockname()[1]


def test_the_timeout_bounds_the_whole_call():
    def trickle(client):
        for byte in b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + b" " * 1000:
            client.sendall(bytes([byte]))
            time.sleep(0.05)
    url, started = _answering(trickle), time.monotonic()
    with pytest.raises(zev.DeviceConnectionError, match="no answer"):
        zev.connect(url, token=TOKEN, timeout=1)
    assert time.monotonic() - started < 2.5, "each byte in time, the call not"


def test_a_server_of_another_description_is_refused_and_a_restart_is_told_once(tmp_path):
    body = b'{"name":"ZEV","xmlVersion":"PD_ZEV.xml@@/main/kem_main/2","generatorVersion":"1.1.0.0"}'
    url = _answering(lambda client: client.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)))
    with pytest.raises(zev.DeviceConnectionError, match="built from PD_ZEV.xml@@/main/kem_main/2 .*this package is"):
        zev.connect(url, token=TOKEN)

    first, url, token_file = start_zevd(tmp_path)
    with zev.connect(url, token_file=token_file) as dev:
        dev.DIN_CNTRL0.FIFOLEVEL.set(5)
        first.terminate()
        first.wait(10)
        second = start_zevd(tmp_path, listen=url[len("http://"):])[0]
        try:
            with pytest.raises(zev.DeviceRestartedError, match="restarted.*values and locks set before are gone"):
                dev.DIN_CNTRL0.FIFOLEVEL.set(6)
            assert dev.DIN_CNTRL0.FIFOLEVEL.get() == 1, "nothing was set by the refused call; the next one works"
        finally:
            second.terminate()
            second.wait(10)
