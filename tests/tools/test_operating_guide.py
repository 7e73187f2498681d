"""docs/operating.md: every shell block, in order, in one working folder, as
one bash script that stops at the first failing command. Each loopback port
of the guide (the front's 5443 and 8443, the instances' 5444 and 5445) becomes
a free port here, so the run does not collide with the stand-in servers of
other tests."""
import os
import pathlib
import re
import socket
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
GUIDE = ROOT / "docs" / "operating.md"
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import sample_client  # noqa: E402


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_every_command_of_the_guide_runs(tmp_path):
    blocks = re.findall(r"^```sh\n(.*?)^```", GUIDE.read_text(), flags=re.S | re.M)
    assert len(blocks) >= 8
    for version in (2369, 2370, 2384):
        sample_client.write_tree(tmp_path / "trees" / str(version), version)
    script = "set -euo pipefail\n" + "\n".join(blocks)
    # The two launcher builds the guide leaves to the operator: stand-ins built with the keys just made.
    for keys, build in (("keys", "build-prod"), ("keys-next", "build-next")):
        script = re.sub(rf"^(orvex-publish keygen --out {keys}(?= |$).*)$", rf'\1\n"{sys.executable}" '
                        rf'"{ROOT}/tests/tools/pe_image.py" {keys} {build}/Launcher.exe', script, count=1, flags=re.M)
    ports = {port: str(free_port()) for port in re.findall(r"127\.0\.0\.1:([0-9]+)", script)}
    script = re.sub(r"127\.0\.0\.1:([0-9]+)", lambda match: f"127.0.0.1:{ports[match[1]]}", script)
    # Debian's python3, whose gunicorn and cryptography the guide relies on.
    environment = dict(os.environ, ORVEX_SOURCE=str(ROOT), PATH="/usr/bin:" + os.environ.get("PATH", ""))
    result = subprocess.run(["bash", "-c", script + "\nls releases"], cwd=tmp_path, env=environment,
                            capture_output=True, text=True, timeout=240)
    # Stop the front and the services whatever happened.
    for pid_file in (tmp_path / "front" / "nginx.pid", tmp_path / "service-a.pid", tmp_path / "service-b.pid"):
        if result.returncode != 0 and pid_file.exists():
            subprocess.run(["kill", pid_file.read_text().strip()])
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    assert result.stdout.split()[-3:] == ["2370", "2384", "2385"]
    assert (tmp_path / "releases" / "2384" / "offline" / "Patch.zip").is_file()
    assert '"versions": [2370, 2384]' in result.stdout
    assert "0 errors" in (tmp_path / "load.txt").read_text()
