"""The announcements board of a running Launcher.exe against tools/site_server.py.

The login host is 127.0.0.2, where no stand-in login server listens, so these
tests neither need nor disturb the login port; the site server takes a free port.
"""
import json
import pathlib
import subprocess

import pytest

from harness import PYTHON, SOURCE_DIR, Launcher, drop_proxy_settings, make_client

UNAVAILABLE = "Duyurular \u015fu anda y\u00fcklenemiyor."
NONE_PUBLISHED = "Yay\u0131mlanm\u0131\u015f duyuru yok."


class SiteServer:
    """tools/site_server.py on a free port for the length of a with-block."""

    def __init__(self, workdir, feed=None, *switches):
        self.workdir = pathlib.Path(workdir)
        self.log = self.workdir / "site-requests.jsonl"
        command = [PYTHON, str(SOURCE_DIR / "tools" / "site_server.py"), "--port", "0", "--lifetime", "120",
                   "--log", str(self.log), *switches]
        if feed is not None:
            feed_file = self.workdir / "feed.json"
            feed_file.write_text(json.dumps(feed, ensure_ascii=False), encoding="utf-8")
            command += ["--feed", str(feed_file)]
        self.command = command
        self.process = None
        self.origin = None

    def __enter__(self):
        self.process = subprocess.Popen(self.command, stdout=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)
        line = self.process.stdout.readline()
        if not line.startswith("listening "):
            self.process.kill()
            raise RuntimeError("site server did not start")
        self.origin = f"http://127.0.0.1:{int(line.split()[1])}"
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()

    def requests(self):
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text(encoding="utf-8").splitlines()]


def board_client(folder, origin):
    ini = ("[Version]\r\nFiles=2372\r\n[Server]\r\nCount=1\r\nIP0=127.0.0.2\r\n"
           f"[ORVEX_LINKS]\r\nAnnouncementsOrigin={origin}/ignored/path\r\n")
    return make_client(folder, server_ini=ini)


@pytest.fixture(autouse=True)
def _no_proxy():
    drop_proxy_settings()


def run_board(tmp_path, server, wanted):
    launcher = Launcher(board_client(tmp_path / "client", server.origin))
    try:
        assert launcher.window_id() is not None
        found = launcher.wait_for_text(wanted, timeout=30)
        return found, launcher.texts()
    finally:
        assert launcher.close() == 0


def test_feed_titles_and_dates_are_painted(tmp_path):
    feed = {"ok": True, "items": [
        {"id": 7, "title": "Bak\u0131m \u00e7al\u0131\u015fmas\u0131", "date": "2026-02-01"},
        {"id": -1, "title": "skipped: negative id", "date": "2026-02-02"},
        {"id": 8, "title": "Sekmeli\tba\u015fl\u0131k", "date": "Yak\u0131nda"},
    ]}
    with SiteServer(tmp_path, feed) as server:
        found, texts = run_board(tmp_path, server, "Bak\u0131m \u00e7al\u0131\u015fmas\u0131")
        requests = server.requests()
    assert found, texts
    assert "01.02.2026" in texts
    assert "Sekmeli ba\u015fl\u0131k" in texts  # the tab painted as a blank
    assert "Yak\u0131nda" in texts
    assert not any("skipped" in text for text in texts)
    assert requests, "the launcher made no request"
    assert requests[0]["method"] == "GET"
    assert requests[0]["path"] == "/api/launcher/announcements"
    assert requests[0]["headers"].get("User-Agent") == "ORVEX Launcher"


@pytest.mark.parametrize("switches", [("--status", "500"), ("--oversize",), ("--broken-json",)],
                         ids=["status-500", "oversize", "broken-json"])
def test_failing_feed_shows_unavailable(tmp_path, switches):
    with SiteServer(tmp_path, None, *switches) as server:
        found, texts = run_board(tmp_path, server, UNAVAILABLE)
    assert found, texts
    assert not any("Bak\u0131m" in text for text in texts)  # the sample feed's title never shows


def test_empty_feed_shows_none_published(tmp_path):
    with SiteServer(tmp_path, {"ok": True, "items": []}) as server:
        found, texts = run_board(tmp_path, server, NONE_PUBLISHED)
    assert found, texts
    assert UNAVAILABLE not in texts
