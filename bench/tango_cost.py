"""The Tango door against the HTTP door of the same zev-tango process, in one run: one signal
read and written (medians of many, each door's own client: PyTango, and a kept HTTP
connection), all 2,316 signals read by one PyTango call against one HTTP batch, and change
events per second while a memory is set (typed, through the HTTP door) as fast as it goes.

    /usr/bin/python3 bench/tango_cost.py build/zev-tango
"""
import http.client
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import tango

ROUNDS = 400


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def median_us(call, rounds=ROUNDS):
    times = []
    for _ in range(rounds):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return statistics.median(times) * 1e6


work = tempfile.mkdtemp(prefix="tango-cost-")
token_file, port = os.path.join(work, "token"), free_port()
server = subprocess.Popen([sys.argv[1], "--listen", "127.0.0.1:0", "--token-file", token_file, "--create-token", "bench",
                           "-nodb", "-dlist", "lab/zev/1", "-ORBendPoint", "giop:tcp:127.0.0.1:%d" % port],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
try:
    http_port = int(server.stdout.readline().rsplit(":", 1)[1])
    assert server.stdout.readline().startswith("zev-tango: serving")
    token = open(token_file).read().strip()
    proxy = tango.DeviceProxy("tango://127.0.0.1:%d/lab/zev/1#dbase=no" % port)
    connection = http.client.HTTPConnection("127.0.0.1", http_port)

    def post(operation, body):
        connection.request("POST", "/api/v1/" + operation, json.dumps(body),
                           {"Authorization": "Bearer " + token, "Content-Type": "application/json"})
        answer = connection.getresponse()
        data = answer.read()
        assert answer.status == 200, data
        return json.loads(data)

    signal = {"register": "DIN_CNTRL0", "signal": "FIFOLEVEL"}
    rows = [
        ("read one signal (typed get of the hardware)",
         median_us(lambda: proxy.read_attribute("DIN_CNTRL0__FIFOLEVEL")),
         median_us(lambda: post("get", dict(signal, readHw=True)))),
        ("write one signal (typed set)",
         median_us(lambda: proxy.write_attribute("DIN_CNTRL0__FIFOLEVEL", 9)),
         median_us(lambda: post("set", dict(signal, value=9)))),
    ]
    names = [n for n in proxy.get_attribute_list() if "__" in n and
             proxy.get_attribute_config(n).writable != tango.AttrWriteType.WRITE]
    batch = {"operations": [dict(op="get", register=n.split("__")[0], signal=n.split("__")[1], readHw=True)
                            for n in names]}
    rows.append(("read %d readable signals in one call" % len(names),
                 median_us(lambda: proxy.read_attributes(names), 15), median_us(lambda: post("batch", batch), 15)))

    # Change events while ENT_H1 is set through the HTTP door as fast as it goes.
    events = []
    subscription = proxy.subscribe_event("ENT_H1", tango.EventType.CHANGE_EVENT,
                                         lambda e: events.append(None if e.err else list(e.attr_value.value)))
    time.sleep(0.5)
    events.clear()
    writes, started = 0, time.time()
    while time.time() - started < 3:
        post("setBlock", {"register": "ENT_H1", "start": 0, "words": [writes & 0xFFFFFFFF] * 7})
        writes += 1
    took = time.time() - started
    time.sleep(0.5)
    proxy.unsubscribe_event(subscription)
    last = [(writes - 1) & 0xFFFFFFFF] * 7
    assert events[-1] == last, "the last event is not the last set: %s" % events[-1]
    print("| operation | Tango (PyTango) | HTTP (kept connection) |")
    print("|---|---|---|")
    for name, through_tango, through_http in rows:
        print("| %s | %.0f µs | %.0f µs |" % (name, through_tango, through_http))
    print("\ntyped memory sets through HTTP: %.0f/s; change events received: %.0f/s (%d of %d writes); "
          "the last event holds the last set's words" % (writes / took, len(events) / took, len(events), writes))
finally:
    server.terminate()
    server.wait(timeout=30)
