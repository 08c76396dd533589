"""The real zevd and zevctl: the README's service session in-process and against the daemon
give the same bytes, every changing request is audited without the token, start-up arguments,
token and reference files, and signals stop the daemon cleanly. (Wrong tokens, refused and
audited, are the HTTP service's own tests'.)"""
import json
import os
import pathlib
import re
import resource
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

zevd, zevctl, session = sys.argv[1:4]
work = tempfile.mkdtemp(prefix="zevd-e2e-")
audit_file, known_token = os.path.join(work, "audit.log"), os.path.join(work, "known")
env = dict(os.environ, HOME=work)  # the daemon's own token goes to HOME/.zevd-token
with open(known_token, "w") as f:
    f.write("0123456789abcdef")  # 16 characters are long enough


def start(*args, preexec_fn=None):
    """A zevd that stays: the process and its first line (the address it listens on, or nothing)."""
    process = subprocess.Popen([zevd, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                               preexec_fn=preexec_fn)
    return process, process.stdout.readline()


def stop(process):
    process.send_signal(signal.SIGTERM)
    return process.communicate(timeout=30)


def run(*args, program=zevctl, environment=env):
    """zevctl (or zevd that does not stay) with args: its exit code, output and errors."""
    done = subprocess.run([program, *args], capture_output=True, text=True, env=environment, timeout=30)
    return done.returncode, done.stdout, done.stderr


def written_token(path):
    """The token zevd made in path: 64 hex digits, for the owner's eyes only."""
    token = open(path).read().strip()
    assert re.fullmatch(r"[0-9a-f]{64}", token) and os.stat(path).st_mode & 0o777 == 0o600, (path, token)
    return token


def contents(folder):
    """Each file's name and bytes."""
    return {path.name: path.read_bytes() for path in pathlib.Path(folder).iterdir() if path.is_file()}


daemon, first = start("--listen", "127.0.0.1:0", "--audit-log", audit_file)
match = re.fullmatch(r"zevd: listening on (http://127\.0\.0\.1:\d+)\n", first)
assert match, first
url, address = match.group(1), match.group(1)[len("http://"):]
assert daemon.stdout.readline() == "zevd: token in %s/.zevd-token\n" % work
token = written_token(os.path.join(work, ".zevd-token"))
try:
    # A second zevd on the same address is told so, and does not start.
    second = run("--listen", address, program=zevd)
    assert second == (1, "", "zevd: cannot listen on %s: the address is in use (another server?)\n" % address), second
    local = run("run", session)
    remote = run("--connect", url, "run", session)
    assert local[0] == 1 and "zevctl: stopped at line 10" in local[2], local
    assert remote == local, (remote, local)
    assert run("--connect", url, "write", "DIN_CNTRL0", "FIFOLEVEL", "33/d")[0] == 0
    assert run("--connect", url, "get", "DIN_CNTRL0", "FIFOLEVEL") == (0, "33\n", "")
finally:
    out, err = stop(daemon)
assert (daemon.returncode, out) == (0, "zevd: stopped\n"), (daemon.returncode, out, err)
audit = [json.loads(line) for line in open(audit_file)]
assert [(a["operation"], a["status"]) for a in audit] == [
    ("write", 200), ("write", 200), ("unlock", 200), ("write", 200), ("write", 422), ("write", 200)], audit
assert token not in open(audit_file).read() and token not in err

# The systemd unit's own command line, in a state directory of ours: the first start makes the
# token (owner only), a restart keeps it, and it opens the API and the metrics.
unit = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "apps", "zevd", "zevd.service.in")
command = next(line for line in open(unit) if line.startswith("ExecStart=")).split()[1:]
os.mkdir(os.path.join(work, "zevd"))
tokens = []
for _ in range(2):
    daemon, first = start(*(a.replace("%S", work).replace("127.0.0.1:7411", "127.0.0.1:0") for a in command))
    try:
        url = re.fullmatch(r"zevd: listening on (\S+)\n", first).group(1)
        assert daemon.stdout.readline() == "zevd: token in %s/zevd/token\n" % work
        tokens.append(written_token(os.path.join(work, "zevd", "token")))
        scrape = urllib.request.Request(url + "/metrics", headers={"Authorization": "Bearer " + tokens[-1]})
        with urllib.request.urlopen(scrape) as answer:
            assert b"zev_bus_transfers_total " in answer.read()
    finally:
        out, err = stop(daemon)
    assert daemon.returncode == 0 and tokens[-1] not in out + err, (out, err)
assert tokens[1] == tokens[0], tokens
done = run("--create-token", program=zevd)
assert done[0] != 0 and "--create-token requires --token-file" in done[2], done

# Bad start-up arguments: a usage error (2) that names them, and no daemon.
short_token, missing = os.path.join(work, "short"), os.path.join(work, "missing")  # (a file is made only when told)
with open(short_token, "w") as f:
    f.write("abc\n")
for args, message in [(["--listen", bad], "zevd: --listen takes ADDR:PORT, not %s\n" % bad)
                      for bad in ("127.0.0.1", ":7411", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:7x",
                                  "127.0.0.1:4294967297", "127.0.0.1:+80", "127.0.0.1:-1", "127.0.0.1: 80")] + [
        (["--listen", "127.0.0.1:0", "--token-file", token_file],
         "zevd: no token of at least 16 characters in %s\n" % token_file) for token_file in (short_token, missing)]:
    assert run(*args, program=zevd)[::2] == (2, message), args
# An address in brackets (as IPv6 addresses are written) is taken without them; brackets come
# off a whole bracketed address only, and what is left is the address looked up.
daemon, first = start("--listen", "[127.0.0.1]:0")
stop(daemon)
assert re.fullmatch(r"zevd: listening on http://127\.0\.0\.1:\d+\n", first), first
for listen, host in [("[]:0", "[]"), ("[x]:0", "x"), ("127.0.0.1]:0", "127.0.0.1]"), ("[127.0.0.1:0", "[127.0.0.1")]:
    done = run("--listen", listen, "--token-file", known_token, program=zevd)
    assert done[0] == 1 and done[2].startswith("zevd: cannot listen on %s: cannot resolve %s: " % (listen, host)), done
# The highest port is a port (taken by someone else at worst, but never a usage error).
daemon, first = start("--listen", "127.0.0.1:65535", "--token-file", known_token)
out, err = stop(daemon)
assert first == "zevd: listening on http://127.0.0.1:65535\n" or "the address is in use" in err, (first, err)
# Options are written --like-this only: "/help" is an argument nobody expects.
done = run("/help", program=zevd)
assert done[0] != 0 and "not expected: /help" in done[2], done

# Refused directions reach the client, not zevd's own output; a token of 16 characters is
# long enough; the limit on open files is raised to what the system allows; Ctrl-C stops
# zevd as SIGTERM does, even when whoever read its output has gone; idle, it sleeps.
hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
daemon, first = start("--listen", "127.0.0.1:0", "--token-file", known_token,
                      preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (min(256, hard), hard)))
try:
    assert first.startswith("zevd: listening on"), first
    limits = open("/proc/%d/limits" % daemon.pid).read()
    assert re.search(r"Max open files\s+(\d+)\s+\1\s", limits), limits
    ticks = sum(int(n) for n in open("/proc/%d/stat" % daemon.pid).read().rsplit(")", 1)[1].split()[11:13])
    time.sleep(1)
    ticks = sum(int(n) for n in open("/proc/%d/stat" % daemon.pid).read().rsplit(")", 1)[1].split()[11:13]) - ticks
    assert ticks < 0.2 * os.sysconf("SC_CLK_TCK"), "idle zevd used %d clock ticks in a second" % ticks
    request = urllib.request.Request(re.search(r"http://\S+", first).group(0) + "/api/v1/write", method="POST",
                                     data=b'{"register":"PRI_SERVAL","values":["1/h"]}',
                                     headers={"Authorization": "Bearer 0123456789abcdef"})
    with urllib.request.urlopen(request) as answer:
        assert "No write access allowed!" in answer.read().decode()
finally:
    daemon.stdout.close()
    daemon.send_signal(signal.SIGINT)
    err = daemon.stderr.read()
    daemon.wait(timeout=30)
assert daemon.returncode == 0 and "No write access allowed!" not in err, (daemon.returncode, err)
# An audit log that cannot be opened, or a home where the token cannot be written: exit 2.
done = run("--listen", "127.0.0.1:0", "--audit-log", os.path.join(short_token, "audit"), program=zevd)
assert done[::2] == (2, "zevd: cannot open the audit log %s\n" % os.path.join(short_token, "audit")), done
done = run("--listen", "127.0.0.1:0", program=zevd, environment=dict(env, HOME=short_token))
assert done[::2] == (2, "zevd: cannot write the token to %s/.zevd-token\n" % short_token), done
# The static reference: written and said where, or refused with the reason and exit 1.
reference = os.path.join(work, "reference")
done = run("--export-reference", reference, program=zevd)
assert done[:2] == (0, "zevd: register reference in %s/index.html\n" % reference), done
# Every console file byte for byte as in the source, the map as a script the page loads
# from disk, in a folder others may read.
console = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "console")
exported = contents(reference)
script = exported.pop("reference.js").decode()
assert exported == {n: c for n, c in contents(console).items() if os.path.splitext(n)[1] in (".html", ".css", ".js")}
assert len(json.loads(script[len("window.ZEV_REFERENCE = "):-2])["registers"]) == 441
mask = os.umask(0)
os.umask(mask)
assert os.stat(reference).st_mode & 0o777 == 0o755 & ~mask, oct(os.stat(reference).st_mode)
# Exported again over itself: every file written anew. A file that cannot be written: exit 1, named.
exported = contents(reference)
for name in exported:
    with open(os.path.join(reference, name), "ab") as f:
        f.write(b"x" * 100000)
assert run("--export-reference", reference, program=zevd)[0] == 0 and contents(reference) == exported
for name in ("console.css", "reference.js"):
    os.remove(os.path.join(reference, name))
    os.mkdir(os.path.join(reference, name))
    done = run("--export-reference", reference, program=zevd)
    assert done == (1, "", "zevd: cannot write %s\n" % os.path.join(reference, name)), done
    os.rmdir(os.path.join(reference, name))
done = run("--export-reference", os.path.join(short_token, "x"), program=zevd)
assert done[:2] == (1, "") and done[2].startswith("zevd: cannot create %s: " % os.path.join(short_token, "x")), done
print("zevd end to end: 1 passed, 0 failed")
