"""The stand-in patch server's switches, checked with a raw TLS client written
here (plain sockets and ssl, no HTTP library that would hide a bad length)."""
import hashlib
import json
import pathlib
import select
import signal
import socket
import ssl
import subprocess
import sys
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SERVER = ROOT / "tools" / "test_servers" / "patch_server.py"
DEV = ROOT / "testdata" / "dev"
TIMEOUT = 5.0


def pattern(size):
    return bytes(i % 251 for i in range(size))


class Server:
    def __init__(self, tmp_path, *args):
        self.log = tmp_path / "requests.jsonl"
        port_file = tmp_path / "ports.json"
        command = [sys.executable, str(SERVER), "--fallback-port", "0", "--cdn-port", "0", "--port-file",
                   str(port_file), "--root", str(tmp_path), "--log", str(self.log), "--lifetime", "30", "--quiet",
                   *args]
        started = time.monotonic()
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ready, _, _ = select.select([self.process.stdout], [], [], TIMEOUT)
        assert ready, "server did not start"
        assert self.process.stdout.readline() == b"listening\n"
        self.startup = time.monotonic() - started
        self.ports = json.loads(port_file.read_text())

    def records(self):
        return [json.loads(line) for line in self.log.read_text(encoding="utf-8").splitlines()]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(TIMEOUT)


@pytest.fixture
def server(tmp_path):
    s = Server(tmp_path)
    yield s
    s.stop()


def client_context(tls13=False, ca=None):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    if ca:
        # The chain is verified; the name is not, because OpenSSL matches an IP
        # only against a subjectAltName, which the certificate deliberately lacks
        # (Wine's WinHTTP rejects one on loopback and matches the CN instead).
        context.load_verify_locations(ca)
        context.check_hostname = False
    else:
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    if tls13:
        context.minimum_version = ssl.TLSVersion.TLSv1_3
    return context


def connect(port, context=None):
    raw = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
    return (context or client_context()).wrap_socket(raw, server_hostname="127.0.0.1")


def exchange(port, path, method="GET", body=b"", headers=(), context=None, read_timeout=TIMEOUT):
    """Returns (status, headers dict, body bytes as received until close)."""
    with connect(port, context) as tls:
        lines = [f"{method} {path} HTTP/1.1", "Host: 127.0.0.1", *headers]
        if method == "POST":
            lines.append(f"Content-Length: {len(body)}")
        tls.sendall(("\r\n".join(lines) + "\r\n\r\n").encode() + body)
        tls.settimeout(read_timeout)
        data = b""
        while True:
            try:
                chunk = tls.recv(65536)
            except (ssl.SSLError, OSError):
                break
            if not chunk:
                break
            data += chunk
    head, _, payload = data.partition(b"\r\n\r\n")
    status_line, *header_lines = head.decode("latin-1").split("\r\n")
    fields = dict(line.split(": ", 1) for line in header_lines)
    return int(status_line.split()[1]), fields, payload


def peer_sha256(port, context=None):
    with connect(port, context) as tls:
        return hashlib.sha256(tls.getpeercert(binary_form=True)).hexdigest()


def test_starts_quickly_and_stops_on_sigterm(server):
    assert server.startup < 2.0
    assert server.stop() == 0


def test_exits_by_itself_after_its_lifetime(tmp_path):
    s = Server(tmp_path, "--lifetime", "0.5")
    assert s.process.wait(TIMEOUT) == 0


def test_certificates_pinned_trusted_and_wrong(server):
    fallback, cdn = server.ports["fallback"], server.ports["cdn"]
    assert peer_sha256(fallback) == (DEV / "fallback-cert.pin").read_text().strip()
    # The CDN endpoint's chain validates against the development CA, for CN=127.0.0.1.
    with connect(cdn, client_context(ca=DEV / "dev-ca-cert.pem")) as tls:
        assert dict(item[0] for item in tls.getpeercert()["subject"]) == {"commonName": "127.0.0.1"}
    with pytest.raises(ssl.SSLCertVerificationError):
        connect(fallback, client_context(ca=DEV / "dev-ca-cert.pem"))
    # One connection after the switch gets the pin-mismatch certificate, then back.
    assert exchange(fallback, "/patch/_next-wrongcert/")[0] == 200
    assert peer_sha256(fallback) == (DEV / "pin-mismatch-cert.pin").read_text().strip()
    assert peer_sha256(fallback) == (DEV / "fallback-cert.pin").read_text().strip()


def test_tls12_only_unless_switched(server):
    fallback = server.ports["fallback"]
    with pytest.raises(ssl.SSLError):
        connect(fallback, client_context(tls13=True))
    assert exchange(fallback, "/patch/_next-tls13/")[0] == 200
    with connect(fallback, client_context(tls13=True)) as tls:
        assert tls.version() == "TLSv1.3"
    with pytest.raises(ssl.SSLError):
        connect(fallback, client_context(tls13=True))
    # The server logs a failed handshake in its own thread, maybe after the
    # client has already seen the failure.
    deadline = time.monotonic() + TIMEOUT
    while sum(r.get("event") == "handshake-failed" for r in server.records()) < 2 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert sum(r.get("event") == "handshake-failed" for r in server.records()) == 2


def test_files_prefixes_and_traversal(server, tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "patch1.zip").write_bytes(b"zip-bytes")
    cdn, fallback = server.ports["cdn"], server.ports["fallback"]
    assert exchange(cdn, "/orvex-patch/sub/patch1.zip")[::2] == (200, b"zip-bytes")
    assert exchange(fallback, "/patch/sub/patch1.zip")[::2] == (200, b"zip-bytes")
    assert exchange(cdn, "/patch/sub/patch1.zip")[0] == 404  # other endpoint's prefix
    assert exchange(cdn, "/orvex-patch/sub/")[0] == 404
    assert exchange(cdn, "/orvex-patch/../requests.jsonl")[0] == 404
    assert exchange(cdn, "/orvex-patch/sub/%2e%2e/%2e%2e/etc/passwd")[0] == 404
    assert exchange(cdn, "/")[0] == 404


def test_generated_body_and_lengths(server):
    cdn = server.ports["cdn"]
    status, fields, body = exchange(cdn, "/orvex-patch/_size-70000/x")
    assert (status, fields["Content-Length"], body) == (200, "70000", pattern(70000))

    status, fields, body = exchange(cdn, "/orvex-patch/_size-1000/_truncate-300/x")
    assert (fields["Content-Length"], body) == ("1000", pattern(300))

    status, fields, body = exchange(cdn, "/orvex-patch/_size-1000/_extra-50/x")
    assert (fields["Content-Length"], body) == ("1000", pattern(1050))

    status, fields, body = exchange(cdn, "/orvex-patch/_nolength/_size-500/x")
    assert "Content-Length" not in fields and body == pattern(500)


def test_stall_sends_its_bytes_then_nothing(server):
    started = time.monotonic()
    status, fields, body = exchange(server.ports["cdn"], "/orvex-patch/_size-100000/_stall-2000/x", read_timeout=1.0)
    assert (status, fields["Content-Length"], body) == (200, "100000", pattern(2000))
    assert time.monotonic() - started >= 1.0


def test_statuses_and_redirect_location(server):
    cdn = server.ports["cdn"]
    for code in (404, 409, 500):
        assert exchange(cdn, f"/orvex-patch/_status-{code}/x")[0] == code
    status, fields, _ = exchange(cdn, "/orvex-patch/_status-302/_size-10/y")
    assert status == 302
    assert fields["Location"] == f"https://127.0.0.1:{cdn}/orvex-patch/_size-10/y"
    assert exchange(cdn, "/orvex-patch/_size-10/y")[0] == 200


def test_post_echo_and_log(server):
    fallback = server.ports["fallback"]
    status, _, body = exchange(fallback, "/patch/_echo/repair-batch-v4.php", "POST", b"a\nb\n",
                               ("Content-Type: text/plain",))
    assert status == 200
    assert body.startswith(b"POST /patch/_echo/repair-batch-v4.php HTTP/1.1\r\n")
    assert b"\r\nContent-Type: text/plain\r\n" in body and body.endswith(b"\r\n\r\na\nb\n")
    record = server.records()[-1]
    assert record["method"] == "POST" and record["endpoint"] == "fallback"
    assert record["body"] == "a\nb\n" and record["body_hex"] == b"a\nb\n".hex()
    assert ["Content-Type", "text/plain"] in record["headers"]


def test_post_reply_file_and_handler(tmp_path):
    reply = tmp_path / "reply.txt"
    reply.write_bytes(b"catalogue")
    handler = tmp_path / "handler.py"
    handler.write_text("def handle(endpoint, path, headers, body):\n"
                       "    return (409 if body == b'old' else 200), endpoint.encode() + b':' + body[::-1]\n")
    s = Server(tmp_path, "--post-reply", str(reply))
    try:
        assert exchange(s.ports["cdn"], "/orvex-patch/r.php", "POST", b"x")[::2] == (200, b"catalogue")
    finally:
        s.stop()
    s = Server(tmp_path, "--post-handler", str(handler))
    try:
        assert exchange(s.ports["cdn"], "/orvex-patch/r.php", "POST", b"abc")[::2] == (200, b"cdn:cba")
        assert exchange(s.ports["fallback"], "/patch/r.php", "POST", b"old")[0] == 409
    finally:
        s.stop()


def test_always_applies_to_every_request(tmp_path):
    s = Server(tmp_path, "--always", "status-409")
    try:
        assert exchange(s.ports["cdn"], "/orvex-patch/anything")[0] == 409
        assert exchange(s.ports["fallback"], "/patch/_size-5/x")[0] == 409
    finally:
        s.stop()
