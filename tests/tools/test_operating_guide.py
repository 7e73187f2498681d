"""docs/operating.md: every shell block, in order, in one working folder, as
one bash script that stops at the first failing command. Each loopback port
of the guide (the front's 5443 and 8443, the instances' 5444 and 5445) becomes
a free port here, so the run does not collide with the stand-in servers of
other tests. The first python3 on PATH is not Debian's (as on a machine with
pyenv), and the checkout's tools/ gains nothing but bytecode caches."""
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys
import tempfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
GUIDE = ROOT / "docs" / "operating.md"
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import sample_client  # noqa: E402


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def tools_listing():
    listing = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--ignored", "--untracked-files=all",
                              "tools"], capture_output=True, text=True, check=True).stdout.splitlines()
    # Bytecode caches come from running the tools in place (the load test), also by other tests meanwhile.
    return [line for line in listing if "__pycache__/" not in line]


@pytest.fixture
def work():
    """The operator's working folder. The front's workers run as www-data and
    must reach the releases in it, which pytest's 0700 folders forbid."""
    folder = pathlib.Path(tempfile.mkdtemp(prefix="orvex-guide-"))
    folder.chmod(0o755)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def run_guide(script, folder, environment):
    """bash running script in folder; its output goes to files, so that the
    servers it leaves in the background cannot hold a pipe open. Whatever
    happens, the front and the services it started are stopped."""
    with open(folder / "guide.out", "w+") as out, open(folder / "guide.err", "w+") as err:
        process = subprocess.Popen(["bash", "-c", script], cwd=folder, env=environment, stdout=out, stderr=err,
                                   start_new_session=True)
        try:
            returncode = process.wait(240)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, 9)
            returncode = process.wait()
        finally:
            for pid_file in (folder / "front" / "nginx.pid", folder / "service-a.pid", folder / "service-b.pid"):
                if pid_file.exists():
                    subprocess.run(["kill", pid_file.read_text().strip()], stderr=subprocess.DEVNULL)
        out.seek(0)
        err.seek(0)
        return returncode, out.read(), err.read()


def test_every_command_of_the_guide_runs(work):
    blocks = re.findall(r"^```sh\n(.*?)^```", GUIDE.read_text(), flags=re.S | re.M)
    assert len(blocks) >= 8
    for version in (2369, 2370, 2384):
        sample_client.write_tree(work / "trees" / str(version), version)
    script = "set -euo pipefail\n" + "\n".join(blocks)
    # The two launcher builds the guide leaves to the operator: stand-ins built with the keys just made.
    for keys, build in (("keys", "build-prod"), ("keys-next", "build-next")):
        script = re.sub(rf"^(orvex-publish keygen --out {keys}(?= |$).*)$", rf'\1\n"{sys.executable}" '
                        rf'"{ROOT}/tests/tools/pe_image.py" {keys} {build}/Launcher.exe', script, count=1, flags=re.M)
    ports = {port: str(free_port()) for port in re.findall(r"127\.0\.0\.1:([0-9]+)", script)}
    script = re.sub(r"127\.0\.0\.1:([0-9]+)", lambda match: f"127.0.0.1:{ports[match[1]]}", script)
    # A python3 first on PATH that is not Debian's: the guide names /usr/bin/python3, whose gunicorn and
    # cryptography it relies on, or the venv's.
    shim = work / "other-python"
    shim.mkdir()
    (shim / "python3").write_text("#!/bin/sh\necho \"not Debian's python3: python3 $*\" >&2\nexit 97\n")
    (shim / "python3").chmod(0o755)
    environment = dict(os.environ, ORVEX_SOURCE=str(ROOT), PATH=f"{shim}:" + os.environ.get("PATH", ""))
    checkout = tools_listing()
    returncode, stdout, stderr = run_guide(script + "\nls releases", work, environment)
    assert returncode == 0, stdout[-3000:] + stderr[-3000:]
    assert tools_listing() == checkout
    assert stdout.split()[-3:] == ["2370", "2384", "2385"]
    assert (work / "releases" / "2384" / "offline" / "Patch.zip").is_file()
    assert '"versions": [2370, 2384]' in stdout
    assert "0 errors" in (work / "load.txt").read_text()
