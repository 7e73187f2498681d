"""Launcher.exe patches and repairs through a CDN edge (edge.py, a caching
nginx on the launcher's CDN address) in front of the patch front, the origin
(nginx and two service instances on free ports), while versions are being
published on the origin as an operator does: each release folder copied under
a hidden name, then renamed into place.

The edge keeps what the origin's Cache-Control lets it keep and nothing longer:
published files are asked of the origin once, the 404 of a version not
published yet stops being served once its 10 s are over, ranges are cut from
the cache, and the repair request always reaches the origin."""
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

import pytest

import sample_client
from edge import Edge, client_context
from harness import LAUNCHER_EXE, SOURCE_DIR, Launcher, LoginServer, read_ini_value, wait_until

sys.path.insert(0, str(SOURCE_DIR / "tools"))
from orvex_ops import load_test  # noqa: E402

DEV = SOURCE_DIR / "testdata" / "dev"
EDGE_PORT = 5444  # the CDN address built into the launcher
READY = "Ready to play ORVEX"
PATCH_NAMES = [f"patch{version}.zip" for version in sample_client.PATCH_VERSIONS]
SUFFIXES = (".manifest", ".manifest.sig", ".zip")


def patch_files(version):
    return [f"{version}{suffix}" for suffix in SUFFIXES]


class Site:
    """The sample releases, the origin's release folder and the running origin and edge."""

    def __init__(self, work, sample, releases, edge, origin_log):
        self.work, self.sample, self.releases, self.edge, self.origin_log = work, sample, releases, edge, origin_log
        self.context = client_context(DEV / "dev-ca-cert.pem")

    def publish(self, version):
        """Copies a release to the origin under a hidden name, then one rename."""
        incoming = self.releases / f".incoming-{version}"
        shutil.copytree(self.sample.releases / str(version), incoming)
        os.rename(incoming, self.releases / str(version))

    def published(self, name):
        version = name.split(".")[0].rsplit("-", 1)[-1]
        return (self.releases / version / name).read_bytes()

    def get(self, name, byte_range=None):
        """(status, body) of a GET through the edge, once the edge has logged it
        (nginx writes the line after the last byte went out)."""
        logged = len(self.edge.requests())
        request = urllib.request.Request(f"https://127.0.0.1:{EDGE_PORT}/orvex-patch/{name}",
                                         headers={"Range": byte_range} if byte_range else {})
        try:
            with urllib.request.urlopen(request, context=self.context, timeout=30) as answer:
                result = answer.status, answer.read()
        except urllib.error.HTTPError as error:
            result = error.code, error.read()
        wait_until(lambda: len(self.edge.requests()) > logged)
        return result

    def edge_log(self, name, method="GET"):
        return [entry for entry in self.edge.requests()
                if entry["path"] == f"/orvex-patch/{name}" and entry["method"] == method]

    def origin_requests(self, name, method="GET"):
        lines = self.origin_log.read_text().splitlines() if self.origin_log.exists() else []
        return [entry for entry in map(json.loads, filter(None, lines))
                if entry["path"] == f"/orvex-patch/{name}" and entry["method"] == method]


@pytest.fixture(scope="module")
def site():
    # Not under pytest's 0700 folders: the nginx workers run as www-data.
    work = pathlib.Path(tempfile.mkdtemp(prefix="orvex-edge-"))
    os.chmod(work, 0o755)
    processes = []
    try:
        sample = sample_client.build(work / "sample", releases=True)
        releases = work / "origin" / "releases"
        releases.mkdir(parents=True)
        for folder in (work / "origin", releases):
            os.chmod(folder, 0o755)
        origin_port = load_test.free_port()
        nginx, instances = load_test.start_front(work / "origin", releases, origin_port)
        processes = [nginx, *instances]
        with Edge(work / "edge", f"127.0.0.1:{EDGE_PORT}", DEV / "cdn-cert.pem", DEV / "cdn-key.pem",
                  f"127.0.0.1:{origin_port}", DEV / "dev-ca-cert.pem") as edge:
            site = Site(work, sample, releases, edge, work / "origin" / "front" / "logs" / "access.log")
            site.publish(2370)
            yield site
    finally:
        for process in processes:
            process.terminate()
        for process in processes:
            try:
                process.wait(20)
            except subprocess.TimeoutExpired:
                process.kill()
        shutil.rmtree(work, ignore_errors=True)


def run_launcher(client, workdir, **scenario):
    """Runs Launcher.exe against the stand-in login server until it is ready to play."""
    with LoginServer(workdir, **scenario):
        launcher = Launcher(client)
        try:
            assert launcher.window_id(timeout=60) is not None
            assert launcher.wait_for_text(READY, timeout=90), launcher.status_lines()[-5:]
        finally:
            assert launcher.close() == 0


def test_launcher_patches_and_repairs_through_the_edge_while_versions_are_published(site, tmp_path):
    # 2371 is asked for before it is published: the origin's 404 says
    # max-age=10, and the edge answers it from its cache meanwhile.
    assert site.get("2371.manifest")[0] == 404
    assert site.get("2371.manifest")[0] == 404
    assert [entry["cache"] for entry in site.edge_log("2371.manifest")] == ["MISS", "HIT"]
    site.publish(2371)
    # Served once the cached 404 is 10 s old; the bound is generous.
    assert wait_until(lambda: site.get("2371.manifest")[0] == 200, timeout=90), site.edge_log("2371.manifest")
    assert site.get("2371.manifest") == (200, site.published("2371.manifest"))
    assert wait_until(lambda: [entry["status"] for entry in site.origin_requests("2371.manifest")] == [404, 200])

    # 2372, never asked for, is published and announced: its files are
    # fetched from the origin at the launcher's first request.
    site.publish(2372)
    client = site.sample.make_client(tmp_path / "client", LAUNCHER_EXE)
    run_launcher(client, tmp_path, version=2372, patches=PATCH_NAMES)
    assert read_ini_value(client / "Server.ini", "Version", "Files") == "2372"
    assert sample_client.file_digests(client, skip=("Server.ini", "Launcher.exe")) == \
        sample_client.file_digests(site.sample.trees[2372])
    for name in patch_files(2372):
        assert [(entry["status"], entry["cache"]) for entry in site.edge_log(name)] == [(200, "MISS")], name

    # A range of an object not cached yet: the edge fills the cache with the
    # whole object from the origin, not with the part asked for.
    metadata = site.published("metadata-v4-2371.zip")
    assert site.get("metadata-v4-2371.zip", "bytes=100-") == (206, metadata[100:])
    assert site.get("metadata-v4-2371.zip") == (200, metadata)
    assert len(site.origin_requests("metadata-v4-2371.zip")) == 1

    # Every published file the launcher fetched is now a hit, whole or in
    # ranges, and the origin saw each once.
    fetched = [name for version in sample_client.PATCH_VERSIONS for name in patch_files(version)]
    for name in fetched:
        assert site.get(name) == (200, site.published(name)), name
        assert site.edge_log(name)[-1]["cache"] == "HIT", name
        assert [entry["status"] for entry in site.origin_requests(name) if entry["status"] == 200] == [200], name
    archive = site.published("2372.zip")
    for byte_range, part in (("bytes=1000-", archive[1000:]), ("bytes=10-4105", archive[10:4106])):
        assert site.get("2372.zip", byte_range) == (206, part), byte_range
        assert site.edge_log("2372.zip")[-1]["cache"] == "HIT"

    # A damaged start-up file without its manifest: the launcher fetches the
    # metadata package and repairs the file through the edge.
    sound = (client / "D3DX9_43.dll").read_bytes()
    (client / "D3DX9_43.dll").write_bytes(b"damaged")
    (client / "ORVEX" / "Startup.manifest").unlink()
    run_launcher(client, tmp_path, version=2372, patches=[])
    assert (client / "D3DX9_43.dll").read_bytes() == sound
    posts = site.edge_log("repair-batch-v4.php", "POST")
    assert [(entry["status"], entry["cache"]) for entry in posts] == [(200, "")], posts
    assert [entry["status"] for entry in site.origin_requests("repair-batch-v4.php", "POST")] == [200]
