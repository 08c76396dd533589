"""Two ZEVs in one Tango control system, for real (MariaDB as an unprivileged user, Debian's
Tango database server on it): a PyTango client finds both by name, works on each, gets the change
events of writes through a ZEV's HTTP door, and sees a server stop and come back. fleet.py ZEV_TANGO"""
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

zev_tango = sys.argv[1]
work = tempfile.mkdtemp(prefix="zev-fleet-")
processes = []


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def spawn(*command, env=None, log):
    process = subprocess.Popen(command, stdout=open(os.path.join(work, log), "w"), stderr=subprocess.STDOUT,
                               env=env, text=True)
    processes.append(process)
    return process


def wait_for(condition, what, seconds=30):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            if condition():
                return
        except Exception:  # not up yet
            pass
        time.sleep(0.1)
    raise AssertionError("no %s within %d s" % (what, seconds))


def log(name):
    with open(os.path.join(work, name)) as f:
        return f.read()


# MariaDB, owned by and running as an unprivileged user when started as root.
data, sock, mysql_port, tango_port = os.path.join(work, "data"), os.path.join(work, "mysql.sock"), free_port(), free_port()
os.mkdir(data)
user = "nobody" if os.getuid() == 0 else pwd.getpwuid(os.getuid()).pw_name
if os.getuid() == 0:
    shutil.chown(work, user)
    shutil.chown(data, user)
subprocess.run(["mariadb-install-db", "--no-defaults", "--datadir=" + data, "--user=" + user,
                "--auth-root-authentication-method=normal", "--skip-test-db"], check=True, capture_output=True)
spawn("mariadbd", "--no-defaults", "--datadir=" + data, "--user=" + user, "--port=%d" % mysql_port,
      "--bind-address=127.0.0.1", "--socket=" + sock, "--pid-file=" + os.path.join(work, "mysql.pid"),
      "--skip-log-bin", log="mariadb.log")
env = dict(os.environ, TANGO_HOST="127.0.0.1:%d" % tango_port)
try:
    sql = ["mariadb", "--no-defaults", "-S", sock, "-u", "root"]
    wait_for(lambda: subprocess.run(sql + ["-e", "SELECT 1"], capture_output=True).returncode == 0, "MariaDB")
    subprocess.run(sql + ["-e", "CREATE DATABASE tango; CREATE USER 'tango'@'127.0.0.1' IDENTIFIED BY 'fleet'; "
                                "GRANT ALL ON tango.* TO 'tango'@'127.0.0.1';"], check=True)
    with open("/usr/share/dbconfig-common/data/tango-db/install/mysql") as schema:
        subprocess.run(sql + ["tango"], stdin=schema, check=True)
    spawn("/usr/lib/tango/DataBaseds", "2", "-ORBendPoint", "giop:tcp:127.0.0.1:%d" % tango_port, log="database.log",
          env=dict(env, MYSQL_USER="tango", MYSQL_PASSWORD="fleet", MYSQL_HOST="127.0.0.1:%d" % mysql_port,
                   MYSQL_DATABASE="tango"))
    wait_for(lambda: subprocess.run(["tango_admin", "--ping-database", "1"], env=env).returncode == 0,
             "Tango database")

    os.environ["TANGO_HOST"] = env["TANGO_HOST"]
    import tango  # reads TANGO_HOST when first used

    # What a lab does to add a ZEV: register its device (as the README says, or from Python),
    # start its server.
    subprocess.run(["tango_admin", "--add-server", "zev-tango/zev1", "ZEV", "lab/zev/1"], env=env, check=True)
    db = tango.Database()
    info = tango.DbDevInfo()
    info.name, info._class, info.server = "lab/zev/2", "ZEV", "zev-tango/zev2"
    db.add_device(info)

    def start(i):
        token = os.path.join(work, "token%d" % i)
        server = spawn(zev_tango, "--listen", "127.0.0.1:0", "--token-file", token, "--create-token", "zev%d" % i,
                       env=env, log="zev%d.log" % i)
        wait_for(lambda: "zev-tango: serving zev-tango/zev%d" % i in log("zev%d.log" % i), "zev%d" % i)
        http = "http://" + log("zev%d.log" % i).split("zev-tango: HTTP on ")[1].split()[0]
        return server, http, open(token).read().strip()

    servers = {i: start(i) for i in (1, 2)}
    assert sorted(db.get_device_exported_for_class("ZEV")) == ["lab/zev/1", "lab/zev/2"]
    zevs = {i: tango.DeviceProxy("lab/zev/%d" % i) for i in (1, 2)}

    # Each ZEV on its own, by attribute and by command (what each of them does: test_tango.py).
    for i, zev in zevs.items():
        assert zev.state() == tango.DevState.ON
        zev.write_attribute("DIN_CNTRL0__FIFOLEVEL", 10 * i)
        zev.ServiceWrite(["COR_TRIG_DELAY", "", "%X/h" % (0x10 * i)])
    for i, zev in zevs.items():
        assert zev.read_attribute("DIN_CNTRL0__FIFOLEVEL").value == 10 * i
        assert list(zev.ServiceRead(["COR_TRIG_DELAY"])) == ["%08X/h" % (0x10 * i)]

    # A write through one ZEV's HTTP door is a change event of that ZEV alone.
    seen = {1: [], 2: []}
    ids = {i: zev.subscribe_event("DIN_CNTRL0__FIFOLEVEL", tango.EventType.CHANGE_EVENT,
                                  lambda e, i=i: seen[i].append(None if e.err else e.attr_value.value))
           for i, zev in zevs.items()}
    _, http, token = servers[2]
    request = urllib.request.Request(http + "/api/v1/set", method="POST", headers={"Authorization": "Bearer " + token},
                                     data=json.dumps({"register": "DIN_CNTRL0", "signal": "FIFOLEVEL", "value": 77}).encode())
    urllib.request.urlopen(request).read()
    wait_for(lambda: seen[2][-1] == 77, "the change event of zev2", 10)
    time.sleep(0.3)
    assert set(seen[1]) == {10}, seen
    for i, zev in zevs.items():
        zev.unsubscribe_event(ids[i])

    # A server that stops is told as such; started again, the same proxy reaches it.
    server = servers[1][0]
    server.send_signal(signal.SIGTERM)
    assert server.wait(timeout=30) == 0, log("zev1.log")
    try:
        zevs[1].state()
        raise AssertionError("zev1 answered after it stopped")
    except tango.DevFailed as e:
        assert e.args[0].reason in ("API_DeviceNotExported", "API_CorbaException", "API_CantConnectToDevice",
                                    "API_ServerNotRunning", "API_DeviceTimedOut"), e
    assert zevs[2].read_attribute("DIN_CNTRL0__FIFOLEVEL").value == 77
    servers[1] = start(1)
    wait_for(lambda: zevs[1].state() == tango.DevState.ON, "zev1 back")
    assert zevs[1].read_attribute("DIN_CNTRL0__FIFOLEVEL").value == 1, "a new run starts at the defaults"
    print("Tango fleet: 2 ZEVs found through the database, worked on, evented, stopped and back")
finally:
    for process in reversed(processes):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
    for process in processes:
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
    if os.environ.get("ZEV_FLEET_KEEP") is None:
        shutil.rmtree(work, ignore_errors=True)
    else:
        print("fleet logs in", work)
