"""What an event-stream client costs a large memory write: the console's batch for 32,768 words
of SWP_DATA_RAM (the words written, then read back for its history) with no stream client and
with one reading the stream as fast as it comes, on each zevd given (a zevd built
before a change beside the one after it, say). Medians of the rounds.

    /usr/bin/python3 bench/stream_cost.py build/zevd [OTHER_ZEVD ...]
"""
import http.client
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

WORDS = 32768
ROUNDS = 7
TOKEN = "stream-cost-token-0123456789abcdef"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def post(port, body):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    started = time.perf_counter()
    connection.request("POST", "/api/v1/batch", json.dumps(body),
                       {"Authorization": "Bearer " + TOKEN, "Content-Type": "application/json"})
    answer = connection.getresponse()
    answer.read()
    took = (time.perf_counter() - started) * 1000
    connection.close()
    if answer.status != 200:
        sys.exit("stream_cost.py: the batch was answered %d" % answer.status)
    return took


class Listener(threading.Thread):
    """Reads the event stream as fast as it comes, counting bytes."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=120)
        self.sock.sendall(("GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer %s\r\n\r\n"
                           % TOKEN).encode())
        self.bytes = 0

    def run(self):
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return
                self.bytes += len(chunk)
        except OSError:
            return

    def stop(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


def measure(zevd):
    work = tempfile.mkdtemp(prefix="stream-cost-")
    token_file = os.path.join(work, "token")
    with open(token_file, "w") as f:
        f.write(TOKEN + "\n")
    port = free_port()
    server = subprocess.Popen([zevd, "--listen", "127.0.0.1:%d" % port, "--token-file", token_file,
                               "--audit-log", os.path.join(work, "audit.log")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        # The rounds without a client first: a stream closed by its client holds its place
        # until the server next writes to it, and the device keeps telling it until then.
        alone, streamed = [], []
        listener = None
        for round_ in range(3):  # warm-up: the first batches of a fresh server are slower
            post(port, {"operations": [{"op": "writeWords", "register": "SWP_DATA_RAM", "start": 0,
                                        "words": [round_ + 1000] * WORDS}]})
        for with_stream in (False, True):
            if with_stream:
                listener = Listener(port)
                listener.start()
                time.sleep(0.2)
            for round_ in range(ROUNDS):
                # Words that differ from the memory's, so that every one is written.
                words = [(round_ * 2 + with_stream + 1 + i) & 0xFFFFFF for i in range(WORDS)]
                batch = {"operations": [{"op": "writeWords", "register": "SWP_DATA_RAM", "start": 0, "words": words},
                                        {"op": "words", "register": "SWP_DATA_RAM", "start": 0, "count": WORDS}]}
                (streamed if with_stream else alone).append(post(port, batch))
        time.sleep(0.5)
        listener.stop()
        streamed_bytes = listener.bytes / ROUNDS
        return statistics.median(alone), statistics.median(streamed), streamed_bytes
    finally:
        server.terminate()
        server.wait()


def main():
    print("| zevd | no stream client (baseline) | one stream client | added | stream bytes a batch |")
    print("|---|---|---|---|---|")
    for zevd in sys.argv[1:]:
        alone, streamed, size = measure(zevd)
        print("| %s | %.1f ms | %.1f ms | %+.0f %% | %.0f |" % (zevd, alone, streamed, (streamed / alone - 1) * 100, size))


if __name__ == "__main__":
    main()
