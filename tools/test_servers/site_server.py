#!/usr/bin/env python3
"""Stand-in for the operator's website: the announcements feed of ORVEX Launcher.

Serves GET /api/launcher/announcements on plain HTTP (127.0.0.1, --port; 0
picks a free port). Every other path answers 404. Once bound it prints
"listening <port>" on stdout. It exits with status 0 on SIGTERM or SIGINT, and
by itself after --lifetime seconds, so it never outlives the test that started it.

The body is the file given with --feed, read afresh for every request (a test
may rewrite it between fetches), or a two-item sample feed without --feed.

Scenario switches, applied to every feed request:
  --status N       answer with this status code (the body is sent as usual)
  --delay S        wait S seconds before the status line
  --drip S         send the body in eight pieces spread over S seconds
  --oversize       pad the body with blanks to 65537 bytes (one more than the
                   launcher accepts); the JSON stays valid
  --broken-json    cut the body in half, so it is no longer JSON
  --redirect URL   answer 302 with this Location (the launcher must not follow)

--log FILE appends one JSON line per request: {"method", "path", "headers"}.

Examples:
  site_server.py --port 8089 --feed announcements.json --lifetime 120
  site_server.py --port 0 --status 503
"""
import argparse
import http.server
import json
import signal
import sys
import threading
import time

FEED_PATH = "/api/launcher/announcements"
FEED_LIMIT = 65536
SAMPLE_FEED = {
    "ok": True,
    "items": [
        {"id": 101, "title": "Bak\u0131m \u00e7al\u0131\u015fmas\u0131 tamamland\u0131", "date": "2026-02-01"},
        {"id": 102, "title": "Yeni etkinlik: K\u0131\u015f \u015eenli\u011fi", "date": "2026-01-28"},
    ],
}


def feed_body(args):
    if args.feed:
        with open(args.feed, "rb") as feed:
            body = feed.read()
    else:
        body = json.dumps(SAMPLE_FEED, ensure_ascii=False).encode("utf-8")
    if args.oversize:
        body = body + b" " * max(0, FEED_LIMIT + 1 - len(body))
    if args.broken_json:
        body = body[: len(body) // 2]
    return body


def make_handler(args):
    log_lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "OrvexSite/1"

        def log_message(self, *unused):
            pass

        def record(self):
            if not args.log:
                return
            entry = {"method": self.command, "path": self.path, "headers": dict(self.headers.items())}
            with log_lock, open(args.log, "a", encoding="utf-8") as log:
                log.write(json.dumps(entry) + "\n")

        def do_GET(self):
            self.record()
            if self.path != FEED_PATH:
                self.answer(404, b"not found", "text/plain")
                return
            if args.delay:
                time.sleep(args.delay)
            if args.redirect:
                self.send_response(302)
                self.send_header("Location", args.redirect)
                self.send_header("Content-Length", "0")
                self.send_header("Connection", "close")
                self.end_headers()
                return
            self.answer(args.status, feed_body(args), "application/json; charset=utf-8")

        def do_POST(self):
            self.record()
            self.answer(405, b"", "text/plain")

        def answer(self, status, body, content_type):
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            try:
                if args.drip and body:
                    pieces = 8
                    step = len(body) // pieces + 1
                    for at in range(0, len(body), step):
                        self.wfile.write(body[at:at + step])
                        self.wfile.flush()
                        time.sleep(args.drip / pieces)
                else:
                    self.wfile.write(body)
            except (BrokenPipeError, ConnectionResetError):
                pass

    return Handler


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8089, help="port, 0 = any free one (default 8089)")
    parser.add_argument("--feed", help="JSON file served as the feed, read for every request")
    parser.add_argument("--status", type=int, default=200, help="status code of the feed answer")
    parser.add_argument("--delay", type=float, default=0.0, help="seconds before answering")
    parser.add_argument("--drip", type=float, default=0.0, help="seconds over which the body trickles out")
    parser.add_argument("--oversize", action="store_true", help="pad the body to 65537 bytes")
    parser.add_argument("--broken-json", action="store_true", help="send only the first half of the body")
    parser.add_argument("--redirect", help="answer 302 with this Location")
    parser.add_argument("--log", help="file that receives one JSON line per request")
    parser.add_argument("--lifetime", type=float, default=600.0, help="seconds until the server exits by itself")
    args = parser.parse_args(argv)

    server = http.server.ThreadingHTTPServer((args.host, args.port), make_handler(args))
    server.daemon_threads = True

    def stop(*unused):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    timer = threading.Timer(args.lifetime, stop)
    timer.daemon = True
    timer.start()
    print(f"listening {server.server_address[1]}", flush=True)
    server.serve_forever(poll_interval=0.1)
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
