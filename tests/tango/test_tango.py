"""zev-tango through a real PyTango client, without a database, beside the HTTP door of the same
device: the interface made from the map, attributes, commands, change events, refusals, a host
whose bus fails, a server that cannot start. Run: ZEV_TANGO=... ZEV_TANGO_FAULTY_HOST=... ZEVCTL=..."""
import json
import os
import signal
import socket
import subprocess
import tempfile
import time
import urllib.request

import pytest
import tango

ZEV_TANGO, FAULTY_HOST, ZEVCTL = (os.environ[n] for n in ("ZEV_TANGO", "ZEV_TANGO_FAULTY_HOST", "ZEVCTL"))
WORK = tempfile.mkdtemp(prefix="zev-tango-")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(program, *args, device="lab/zev/1", options=()):
    """A server without a database: the process, its proxy and the HTTP door's address (if any)."""
    port = free_port()
    process = subprocess.Popen([program, *options, "test", "-nodb", "-dlist", device,
                                "-ORBendPoint", "giop:tcp:127.0.0.1:%d" % port, *args],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = [process.stdout.readline() for _ in range(2 if options else 1)]
    assert lines[-1].startswith("zev-tango: serving"), (lines, process.stderr.read() if process.poll() else "")
    url = "tango://127.0.0.1:%d/%s#dbase=no" % (port, device)
    return process, tango.DeviceProxy(url), lines[0].split()[-1] if options else None, url


@pytest.fixture(scope="module")
def served():
    token = os.path.join(WORK, "token")
    process, proxy, http, url = start(ZEV_TANGO, options=("--listen", "127.0.0.1:0", "--token-file", token,
                                                     "--create-token"))
    api = Api("http://" + http, open(token).read().strip())
    yield proxy, api, url
    process.send_signal(signal.SIGTERM)
    process.communicate(timeout=30)
    assert process.returncode == 0


class Api:
    """The same device through its HTTP door."""

    def __init__(self, url, token):
        self.url, self.token = url, token

    def __call__(self, operation, body=None):
        request = urllib.request.Request(self.url + "/api/v1/" + operation, method="POST" if body is not None else "GET",
                                         data=None if body is None else json.dumps(body).encode(),
                                         headers={"Authorization": "Bearer " + self.token})
        with urllib.request.urlopen(request) as answer:
            return json.loads(answer.read())

    def word(self, register):
        return self("words", {"register": register})["words"][0]


def fresh(proxy):
    """Every field back with the application, and the defaults, their change events all pushed
    (the pusher reads each changed register in a device call of its own; a slow build is still
    reading when the next subscription comes, and its late event would look like a repeat)."""
    proxy.UnlockAll()
    proxy.SetToDefault()
    calls = None
    while calls != proxy.DeviceCalls:
        calls = proxy.DeviceCalls
        time.sleep(0.3)


def wait_for(condition, seconds=10):
    deadline = time.time() + seconds
    while not condition():
        if time.time() > deadline:
            return False
        time.sleep(0.02)
    return True


def refused(call, *args):
    with pytest.raises(tango.DevFailed) as caught:
        call(*args)
    return caught.value.args[0].reason, caught.value.args[0].desc


def test_the_interface_is_the_map(served):
    proxy, api, url = served
    names = proxy.get_attribute_list()
    configs = {c.name: c for c in proxy.get_attribute_config_ex(list(names))}
    writes = {(True, True): tango.AttrWriteType.READ_WRITE, (True, False): tango.AttrWriteType.READ,
              (False, True): tango.AttrWriteType.WRITE}
    expected = {"State", "Status", "BusTransfers", "BusFaults", "Reports", "DeviceCalls"}
    for register in api("map")["registers"]:
        word, direction = configs[register["name"]], writes[(register["readable"], register["writable"])]
        expected.add(word.name)
        if register["words"] > 1:
            assert (word.writable, word.data_format, word.max_dim_x) == (
                direction, tango.AttrDataFormat.SPECTRUM, register["words"]), word.name
            continue
        assert (word.writable, word.data_format, word.data_type) == (
            direction, tango.AttrDataFormat.SCALAR, tango.CmdArgType.DevULong), word.name
        for sig in register["signals"]:
            config = configs[word.name + "__" + sig["name"]]
            expected.add(config.name)
            labels = [e["name"] for e in sig.get("enumerators", [])]
            assert (config.writable, config.data_type, list(config.enum_labels) if labels else config.max_value) == (
                direction, tango.CmdArgType.DevEnum if labels else tango.CmdArgType.DevULong, labels or str(sig["max"])), \
                config.name
    assert set(names) == expected and len(names) == 441 + 2316 + 6


def test_attributes_and_commands_reach_the_device_the_http_door_sees(served):
    proxy, api, url = served
    fresh(proxy)
    proxy.write_attribute("DIN_CNTRL0__FIFOLEVEL", 33)
    assert proxy.read_attribute("DIN_CNTRL0__FIFOLEVEL").value == 33
    assert api("get", {"register": "DIN_CNTRL0", "signal": "FIFOLEVEL"})["value"] == 33
    assert proxy.read_attribute("DIN_CNTRL0").value == api.word("DIN_CNTRL0")
    labels = list(proxy.get_attribute_config_ex("AUD_CNTRL0__TRIG_SEL")[0].enum_labels)
    proxy.write_attribute("AUD_CNTRL0__TRIG_SEL", labels.index("MARKER_SIG_3"))
    assert api("value", {"register": "AUD_CNTRL0", "signal": "TRIG_SEL"})["values"] == ["MARKER_SIG_3"]
    assert proxy.GetValueByString(["AUD_CNTRL0", "TRIG_SEL"]) == "MARKER_SIG_3"
    proxy.write_attribute("ENT_H1", [1, 2, 0xFFFFFFFF])
    proxy.write_attribute("ENT_H1", [1, 2, 0xFFFFFFFF])  # words it already holds: done, as through HTTP
    assert list(proxy.read_attribute("ENT_H1").value) == [1, 2, 0xFFFFFFFF, 0, 0, 0, 0]
    assert api("words", {"register": "ENT_H1"})["words"] == [1, 2, 0xFFFFFFFF, 0, 0, 0, 0]
    assert len(proxy.read_attribute("SWP_DATA_RAM").value) == 49152
    proxy.ServiceWrite(["ENT_H1", "5", "A/h", "B/h"])
    assert list(proxy.ServiceRead(["ENT_H1", "4", "3"])) == ["00000000/h", "0000000A/h", "0000000B/h"]
    proxy.ServiceWrite(["DIN_CNTRL0", "FIFOLEVEL", "12/d"])
    assert list(proxy.ServiceRead(["DIN_CNTRL0", "FIFOLEVEL"])) == ["0000000C/h"]
    assert proxy.SnapShot() == api("snapshot")["snapshot"]
    counts = ["BusTransfers", "DeviceCalls", "Reports", "BusFaults"]
    before = [a.value for a in proxy.read_attributes(counts)]
    api("words", {"register": "COR_TRIG_DELAY"})  # read in parallel: one transfer
    after = [a.value for a in proxy.read_attributes(counts)]
    # (the calls count the event pusher's too, which read what the library holds, no transfer)
    assert after[0] == before[0] + 1 and after[1] > before[1] and after[2:] == before[2:], (before, after)
    # Sets: zevctl's file, byte for byte; compared and applied on the same device.
    saved = proxy.SaveSet('{"registers": ["DIN_CNTRL0", "ENT_H1"]}')
    assert saved == subprocess.run([ZEVCTL, "--connect", api.url, "--token-file", os.path.join(WORK, "token"),
                                    "save", "-", "DIN_CNTRL0", "ENT_H1"], capture_output=True, text=True,
                                   check=True).stdout
    assert json.loads(proxy.CompareSet(saved)) == []
    fresh(proxy)
    assert len(json.loads(proxy.CompareSet(saved))) > 0
    json.loads(proxy.ApplySet(saved))
    assert json.loads(proxy.CompareSet(saved)) == []


def test_locks_and_bad_input_are_refused_with_the_library_text_and_nothing_is_written(served):
    proxy, api, url = served
    fresh(proxy)
    proxy.write_attribute("DIN_CNTRL0__FIFOLEVEL", 7)
    word, transfers = api.word("DIN_CNTRL0"), proxy.read_attribute("BusTransfers").value
    proxy.Lock(["DIN_CNTRL0", "FIFOLEVEL"])  # (the other calls are refused before a lock would matter)
    proxy.Lock(["ENT_H1"])
    cases = [
        (proxy.write_attribute, ["DIN_CNTRL0__FIFOLEVEL", 9], "ZEV_REFUSED", "locked"),
        (proxy.write_attribute, ["ENT_H1", [0]], "ZEV_REFUSED", "locked"),
        (proxy.ServiceWrite, [["DIN_CNTRL0", "FIFOLEVEL", "256/d"]], "ZEV_REFUSED", "Value limit exceeded: 256/d,"),
        (proxy.Lock, [["AUD_CNTRL0", "NOPE"]], "ZEV_REFUSED", "Invalid signal submitted! : NOPE"),
        (proxy.Lock, [[]], "ZEV_BAD_ARGUMENT", "give [REGISTER] or [REGISTER, SIGNAL]"),
        (proxy.ServiceRead, [["ENT_H1", "5", "3"]], "ZEV_BAD_ARGUMENT", "range beyond the memory: ENT_H1 has words 0 to 6"),
        (proxy.ServiceRead, [["ENT_H1", "x", "3"]], "ZEV_BAD_ARGUMENT", "START is a decimal number, not 'x'"),
        (proxy.ServiceWrite, [["DIN_CNTRL0", "FIFOLEVEL", "1 /d"]], "ZEV_BAD_ARGUMENT", "value text"),
        (proxy.ApplySet, ["[" * 6 + "]" * 6], "ZEV_BAD_ARGUMENT", "the set nests deeper than 5 levels"),
        (proxy.SaveSet, ["[" * 7 + "]" * 7], "ZEV_BAD_ARGUMENT", "the argument nests deeper than 6 levels"),
        (proxy.write_attribute, ["DIN_CNTRL0__FIFOLEVEL", 256], "API_WAttrOutsideLimit", "above the maximum"),
        (proxy.write_attribute, ["PRI_SERVAL", 1], "API_AttrNotWritable", "not writable"),
        (proxy.read_attribute, ["NOPE"], "API_AttrNotFound", "NOPE"),
    ]
    for call, arguments, reason, text in cases:
        got = refused(call, *arguments)
        assert got[0] == reason and text in got[1], (arguments, got)
    assert proxy.read_attribute("BusTransfers").value == transfers and api.word("DIN_CNTRL0") == word
    assert proxy.state() == tango.DevState.ON
    proxy.Unlock(["DIN_CNTRL0"])  # the lock gone, the application writes again
    proxy.write_attribute("DIN_CNTRL0__FIFOLEVEL", 9)
    assert proxy.read_attribute("DIN_CNTRL0__FIFOLEVEL").value == 9


def test_changes_through_another_door_are_change_events(served):
    proxy, api, url = served
    fresh(proxy)
    seen = {name: [] for name in ("ENT_H1", "DIN_CNTRL0", "DIN_CNTRL0__FIFOLEVEL")}
    ids = [proxy.subscribe_event(name, tango.EventType.CHANGE_EVENT,
                                 lambda e, name=name: seen[name].append(None if e.err else e.attr_value.value))
           for name in seen]
    blocks, words, values = seen.values()
    # A client that goes away while subscribed costs the server nothing.
    gone = subprocess.Popen(["/usr/bin/python3", "-c", "import tango, time, sys; d = tango.DeviceProxy(sys.argv[1]); "
                             "d.subscribe_event('ENT_H1', tango.EventType.CHANGE_EVENT, lambda e: None); "
                             "print('subscribed', flush=True); time.sleep(60)", url],
                            stdout=subprocess.PIPE, text=True)
    assert gone.stdout.readline() == "subscribed\n"
    gone.kill()
    gone.wait()
    api("setBlock", {"register": "ENT_H1", "start": 1, "words": [5, 6]})
    assert wait_for(lambda: blocks[-1] is not None and list(blocks[-1]) == [0, 5, 6, 0, 0, 0, 0]), blocks
    # Each write is seen before the next: writes closer together may come as one event of the last.
    api("set", {"register": "DIN_CNTRL0", "signal": "FIFOLEVEL", "value": 21})
    assert wait_for(lambda: values[-1] == 21 and words[-1] == api.word("DIN_CNTRL0"))
    api("write", {"register": "DIN_CNTRL0", "signal": "FIFOLEVEL", "values": ["44/d"]})
    assert wait_for(lambda: words[-1] == api.word("DIN_CNTRL0"))
    time.sleep(0.2)
    for i in ids:
        proxy.unsubscribe_event(i)
    # Tango 9.3 may hand a client the first pushed event after its subscription twice; any
    # other repeat is a push of a value that did not change.
    values, words = ([v for i, v in enumerate(got) if i != 2 or v != got[1]] for got in (values, words))
    assert values == [1, 21], values  # the service's write leaves the application's value
    assert len(words) == 3 and len(set(words)) == 3, words
    # Tango's Init right after every register changed: the events waiting for the monitor it
    # holds give way (one may wait out Tango's 3.2 s for it), they do not hold the device.
    proxy.UnlockAll()
    proxy.SetToDefault()
    proxy.set_timeout_millis(8000)
    proxy.Init()
    proxy.set_timeout_millis(3000)
    proxy.write_attribute("DIN_CNTRL0__FIFOLEVEL", 5)
    assert proxy.read_attribute("DIN_CNTRL0__FIFOLEVEL").value == 5


def test_a_host_whose_bus_fails_is_in_fault_and_says_why():
    process, proxy, _, _ = start(FAULTY_HOST)
    try:
        reason, text = refused(proxy.read_attribute, "COR_TRIG_DELAY")
        assert (reason, text) == ("ZEV_HOST_FAULT", "host fault: simulated bus fault")
        assert proxy.state() == tango.DevState.FAULT and proxy.status() == text
        # The read-back path takes the host's exception and reports it: a fault all the same.
        assert refused(proxy.read_attribute, "DIN_CNTRL0__FIFOLEVEL") == ("ZEV_REPORTED", ",Unknown error!")
        assert proxy.status() == "host fault: a bus transfer failed; the library reported: ,Unknown error!"
        assert proxy.read_attribute("BusFaults").value == 2
        proxy.write_attribute("DIN_CNTRL0__FIFOLEVEL", 3)  # writes still reach the hardware
        assert proxy.state() == tango.DevState.ON
        # A set read while the library reported is refused, not made up from the stand-in words.
        assert refused(proxy.SaveSet, '{"registers": ["DIN_CNTRL0"]}')[0] == "ZEV_REPORTED"
        assert proxy.state() == tango.DevState.FAULT
        assert proxy.status().startswith("host fault: a bus transfer failed; the library reported: ,Unknown error!; ")
        assert refused(proxy.CompareSet, "") == ("ZEV_HOST_FAULT", "host fault: simulated bus fault")  # a memory's words
        assert (proxy.state(), proxy.status()) == (tango.DevState.FAULT, "host fault: simulated bus fault")
        saved = subprocess.run([ZEVCTL, "save", "-", "DIN_CNTRL0"], capture_output=True, text=True, check=True).stdout
        assert json.loads(proxy.ApplySet(saved))["refused"] == 0
        assert (proxy.state(), proxy.status()) == (tango.DevState.ON, "The device is ON")
    finally:
        process.send_signal(signal.SIGTERM)
        process.communicate(timeout=30)


def test_a_server_that_cannot_serve_says_why_at_once():
    port = free_port()
    for environment, args, text, code in [
            (dict(os.environ, TANGO_HOST="127.0.0.1:%d" % port), ["test"],
             "zev-tango: the Tango database at 127.0.0.1:%d cannot be reached: Connection refused\n" % port, 1),
            (os.environ, ["test", "-nodb", "-dlist", "lab/zev/1,lab/zev/2", "-ORBendPoint",
                          "giop:tcp:127.0.0.1:%d" % port], "one ZEV per server", 1),
            (os.environ, ["--listen", "127.0.0.1:7x", "--token-file", os.path.join(WORK, "token"), "test", "-nodb"],
             "zev-tango: --listen needs ADDR:PORT", 2),
            (os.environ, ["--lisen", "127.0.0.1:0", "test"], "zev-tango: unknown option --lisen (", 2)]:
        started = time.time()
        done = subprocess.run([ZEV_TANGO, *args], capture_output=True, text=True, env=environment, timeout=30)
        assert done.returncode == code and text in done.stderr, (args, done)
        assert time.time() - started < 10, args
