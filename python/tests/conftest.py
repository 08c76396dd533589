"""Fixtures: the same test functions on a device in this process and on one a zevd serves
(the zevd binary comes from CMake through ZEVD; without it the remote cases are skipped)."""
import os
import re
import subprocess

import pytest

import zev

TOKEN = "python-tests-token-0123456789"


def start_zevd(folder, *options, listen="127.0.0.1:0", token_text=TOKEN + "\n"):
    """A zevd with its token and audit log in folder: the process, its address and token file."""
    binary = os.environ.get("ZEVD")
    if not binary or not os.path.exists(binary):
        pytest.skip("no zevd (set ZEVD to the binary)")
    token_file = folder / "token"
    token_file.write_text(token_text, newline="")
    process = subprocess.Popen([binary, "--listen", listen, "--token-file", str(token_file),
                                "--audit-log", str(folder / "audit.log"), *options],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = process.stdout.readline()
    match = re.search(r"listening on (http://\S+)", line)
    assert match, "zevd did not start: %r" % line
    return process, match.group(1), str(token_file)


def _serve(folder, *options, **keywords):
    """A zevd on a free port, stopped when the session ends: its address and token file."""
    process, url, token_file = start_zevd(folder, *options, **keywords)
    try:
        yield url, token_file
    finally:
        process.terminate()
        process.wait(10)


@pytest.fixture(scope="session")
def zevd(tmp_path_factory):
    yield from _serve(tmp_path_factory.mktemp("zevd"))


@pytest.fixture(scope="session")
def read_only_zevd(tmp_path_factory):
    """A read-only zevd whose token file holds the token as zevd takes it: the first line,
    between spaces and a CR, then a comment line."""
    yield from _serve(tmp_path_factory.mktemp("zevd_read_only"), "--read-only",
                      token_text=" \t%s \r\n# the bench's token\n" % TOKEN)


@pytest.fixture(params=["local", "remote"])
def dev(request):
    """A device set to its defaults, unlocked: in this process on the simulator, or behind zevd."""
    if request.param == "local":
        host = zev.SimulatedHost()
        device = zev.Device(host.bus, host.utility, host.status)
    else:
        url, token_file = request.getfixturevalue("zevd")
        device = zev.connect(url, token_file=token_file)
        device.unlock_all()
    device.set_to_default()
    with device:
        yield device
