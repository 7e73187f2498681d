"""The production patch service (tools/orvex_ops/patch_service.py under gunicorn)
for the end-to-end happy paths and the demo: release folders served on the
launcher's built-in CDN address, https://127.0.0.1:5444/orvex-patch/, with the
development CDN certificate that the test Wine prefix trusts."""
import json
import os
import pathlib
import shutil
import signal
import ssl
import subprocess
import sys
import time
import urllib.request

from harness import PYTHON, SOURCE_DIR

sys.path.insert(0, str(SOURCE_DIR / "tools"))
from orvex_ops import load_test  # noqa: E402

DEV = SOURCE_DIR / "testdata" / "dev"
PUBLISH = SOURCE_DIR / "tools" / "orvex_ops" / "publish.py"
CDN_PORT = 5444


def release(out, old, new, previous, version, *extra):
    """orvex-publish release with the development keys; returns its summary."""
    result = subprocess.run([PYTHON, str(PUBLISH), "release", "--old", str(old), "--new", str(new), "--previous",
                             str(previous), "--version", str(version), "--update-key", str(DEV / "update-private.pem"),
                             "--manifest-key", str(DEV / "manifest-private.pem"), "--out", str(out),
                             *map(str, extra)], capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"release {version} failed:\n{result.stderr}")
    return result.stdout


def stop(processes, number=signal.SIGTERM):
    """Sends number to every process still running, then waits for each,
    killing one that has not ended after 20 s."""
    for process in processes:
        if process.poll() is None:
            process.send_signal(number)
    for process in processes:
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(5)


class PatchService:
    """gunicorn serving the release folders in releases for a with-block; the
    request log is read like the stand-in server's (requests(), gets())."""

    def __init__(self, workdir, releases, port=CDN_PORT):
        self.workdir = pathlib.Path(workdir)
        self.releases = pathlib.Path(releases)
        self.port = port
        self.log = self.workdir / f"service-requests-{time.monotonic_ns()}.jsonl"
        self.errors = self.workdir / "service.err"
        self.process = None

    def __enter__(self):
        # timeout bounds a service that outlives a killed test run.
        command = ["timeout", "600", PYTHON, str(SOURCE_DIR / "tools" / "orvex_ops" / "patch_service.py"), "--releases",
                   str(self.releases), "--bind", f"127.0.0.1:{self.port}", "--certfile", str(DEV / "cdn-cert.pem"),
                   "--keyfile", str(DEV / "cdn-key.pem"), "--workers", "2", "--threads", "4", "--log", str(self.log)]
        with open(self.errors, "wb") as errors:
            self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=errors,
                                            stdin=subprocess.DEVNULL)
        context = ssl.create_default_context(cafile=str(DEV / "dev-ca-cert.pem"))
        context.check_hostname = False
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and self.process.poll() is None:
            try:
                with urllib.request.urlopen(f"https://127.0.0.1:{self.port}/healthz", context=context,
                                            timeout=2) as answer:
                    if answer.status == 200:
                        self.log.write_text("")  # the health checks are not the launcher's requests
                        return self
            except OSError:
                time.sleep(0.1)
        self.__exit__(None, None, None)
        raise RuntimeError("patch service did not start: " + self.errors.read_text(errors="replace"))

    def __exit__(self, *exc):
        if self.process:
            stop([self.process])
        return False

    def requests(self):
        """Logged requests in arrival order."""
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text(encoding="utf-8").splitlines() if line]

    def gets(self, endpoint="cdn"):
        return [entry["path"] for entry in self.requests()
                if entry["method"] == "GET" and entry.get("endpoint") == endpoint]


class Front:
    """The production layout for a with-block: nginx (configured by
    orvex-front) on the CDN address in front of two service instances on
    free loopback ports; requests() and gets() read nginx's access log.

    Its servers run as their own users (nginx's workers as www-data, the
    instances as orvex), which cannot reach into pytest's 0700 folders: the
    front works in a folder of its own, on a hard-linked copy of releases
    (links followed), removed afterwards. workdir is not used."""

    def __init__(self, workdir, releases, port=CDN_PORT):
        self.releases = pathlib.Path(releases)
        self.port = port
        self.workdir = None
        self.processes = []

    def __enter__(self):
        self.workdir = load_test.work_folder()
        try:
            served = self.workdir / "releases"
            shutil.copytree(self.releases, served, copy_function=os.link)
            nginx, instances = load_test.start_front(self.workdir, served, self.port, repair_rate=2,
                                                           repair_burst=40)
        except BaseException:
            shutil.rmtree(self.workdir, ignore_errors=True)
            raise
        self.processes = [nginx, *instances]
        return self

    def __exit__(self, *exc):
        stop(self.processes)
        shutil.rmtree(self.workdir, ignore_errors=True)
        return False

    def requests(self):
        """nginx's log entries in arrival order, each with the endpoint its path names."""
        log = self.workdir / "front" / "logs" / "access.log"
        entries = [json.loads(line) for line in log.read_text().splitlines() if line] if log.exists() else []
        for entry in entries:
            entry["endpoint"] = "cdn" if entry["path"].startswith("/orvex-patch/") else "fallback"
            entry["range"] = entry["range"] or None
        return entries

    def gets(self, endpoint="cdn"):
        return [entry["path"] for entry in self.requests()
                if entry["method"] == "GET" and entry["endpoint"] == endpoint]
