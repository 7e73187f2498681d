"""The announcements board of a running Launcher.exe against tools/test_servers/site_server.py.

The login host is 127.0.0.2, where no stand-in login server listens, so these
tests neither need nor disturb the login port; the site server takes a free port.
"""
import pytest

from harness import Launcher, SiteServer, make_client

UNAVAILABLE = "Duyurular \u015fu anda y\u00fcklenemiyor."
NONE_PUBLISHED = "Yay\u0131mlanm\u0131\u015f duyuru yok."


def board_client(folder, origin):
    ini = ("[Version]\r\nFiles=2372\r\n[Server]\r\nCount=1\r\nIP0=127.0.0.2\r\n"
           f"[ORVEX_LINKS]\r\nAnnouncementsOrigin={origin}/ignored/path\r\n")
    return make_client(folder, server_ini=ini)


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
