"""The nginx front (orvex-front) with two patch-service instances behind it,
the real nginx and gunicorn on free loopback ports, run as deployed (nginx's
workers as www-data, each instance as orvex): what each launcher request gets
through both endpoints, the fallback endpoint's pinned certificate and its
ciphers, the repair rate and the requests in progress per address, silent,
slow and trickling clients that must not stop anyone else, a health check that
goes red when nginx cannot read a release, an instance that hangs, the access
log, and the paths, addresses and users the command refuses to write."""
import hashlib
import http.client
import json
import os
import pathlib
import pwd
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DEV = ROOT / "testdata" / "dev"
sys.path.insert(0, str(ROOT / "tools"))
from orvex_ops import front as orvex_front  # noqa: E402
from orvex_ops import load_test as load  # noqa: E402

REPAIR = "/orvex-patch/repair-batch-v4.php"
BURST = 6
IMMUTABLE = "public, max-age=31536000, immutable"
SHORT = "public, max-age=10"


BODY_TIMEOUT = 2  # client_body_timeout, shortened here from the production 10 s


@pytest.fixture(scope="module")
def front():
    # Not pytest's tmp_path: its folders are 0700, out of the servers' reach.
    work = load.work_folder()
    try:
        releases = load.make_release(work)
        (work / "static").mkdir()
        pool = load.request_pool(releases, work / "static")
        cdn, fallback = load.free_port(), load.free_port()
        # Small instances: four threads each, so that a handful of requests
        # held by slow readers would take all of them. Production limits.
        nginx, instances = load.start_front(work, releases, cdn, repair_rate=2, repair_burst=BURST,
                                            fallback_port=fallback, threads=4,
                                            limits={"body_timeout": BODY_TIMEOUT})
        try:
            yield {"releases": releases / str(load.VERSION), "pool": pool, "cdn": cdn, "fallback": fallback,
                   "instances": instances, "log": work / "front" / "logs" / "access.log"}
        finally:
            for process in (nginx, *instances):
                process.send_signal(signal.SIGCONT)
                process.terminate()
            for process in (nginx, *instances):
                process.wait(20)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def tls_context():
    context = ssl.create_default_context(cafile=str(DEV / "dev-ca-cert.pem"))
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE  # the fallback certificate is checked by its pin below
    return context


def fetch(port, method, path, headers=None, body=None, source="127.0.0.1", timeout=10):
    connection = http.client.HTTPSConnection("127.0.0.1", port, timeout=timeout, context=tls_context(),
                                             source_address=(source, 0))
    try:
        connection.request(method, path, body=body, headers=headers or {})
        answer = connection.getresponse()
        return answer.status, dict(answer.getheaders()), answer.read()
    finally:
        connection.close()


def repair_body(front, smallest=True):
    """A repair request of the load test's pool and its answer's digest."""
    posts = sorted((entry for entry in front["pool"] if entry[0] == "POST"), key=lambda entry: entry[5])
    entry = posts[0] if smallest else posts[-1]
    return entry[3], entry[5], entry[6]


def test_each_launcher_request_gets_its_answer_through_both_endpoints(front):
    folder = front["releases"]
    archive = (folder / "2.zip").read_bytes()
    etag = fetch(front["cdn"], "HEAD", "/orvex-patch/2.zip")[1]["ETag"]
    body, size, digest = repair_body(front)
    cases = [
        # (port, method, path, headers, body, status, expected bytes or digest, Cache-Control)
        ("cdn", "GET", "/orvex-patch/2.zip", {}, None, 200, archive, IMMUTABLE),
        ("fallback", "GET", "/patch/2.manifest", {}, None, 200, (folder / "2.manifest").read_bytes(), IMMUTABLE),
        ("cdn", "GET", "/orvex-patch/2.manifest.sig", {}, None, 200, (folder / "2.manifest.sig").read_bytes(),
         IMMUTABLE),
        ("cdn", "GET", "/orvex-patch/metadata-v4-2.zip", {}, None, 200,
         (folder / "metadata-v4-2.zip").read_bytes(), IMMUTABLE),
        ("cdn", "GET", "/orvex-patch/2.zip", {"Range": "bytes=1000-"}, None, 206, archive[1000:], IMMUTABLE),
        ("fallback", "GET", "/patch/2.zip", {"Range": "bytes=5-9", "If-Range": etag}, None, 206, archive[5:10],
         IMMUTABLE),
        ("cdn", "GET", "/orvex-patch/2.zip", {"Range": "bytes=5-9", "If-Range": '"another"'}, None, 200, archive,
         IMMUTABLE),
        ("cdn", "GET", "/orvex-patch/2.zip", {"Range": "bytes=0-0,5-9"}, None, 200, archive, IMMUTABLE),
        ("cdn", "GET", "/orvex-patch/2.zip", {"Range": f"bytes={len(archive)}-"}, None, 416, None, IMMUTABLE),
        ("cdn", "GET", "/orvex-patch/3.manifest", {}, None, 404, None, SHORT),
        ("cdn", "GET", "/orvex-patch/02.manifest", {}, None, 404, None, SHORT),
        ("cdn", "GET", "/orvex-patch/2.catalogue", {}, None, 404, None, SHORT),
        ("cdn", "GET", "/orvex-patch/release.json", {}, None, 404, None, SHORT),
        ("fallback", "GET", "/patch/2/2.zip", {}, None, 404, None, SHORT),
        ("cdn", "POST", REPAIR, {"Content-Type": "text/plain"}, body, 200, digest, "no-store"),
        ("fallback", "POST", "/patch/repair-batch-v4.php", {}, body, 200, digest, "no-store"),
        ("cdn", "POST", REPAIR, {}, b"2\nBITS\n" + b"0" * 17000, 413, None, "no-store"),
        ("cdn", "GET", "/healthz", {}, None, 200, b'{"status": "ok", "versions": [2]}\n', "no-store"),
    ]
    for port, method, path, headers, data, status, expected, cache in cases:
        got_status, got_headers, got = fetch(front[port], method, path, headers, data)
        case = (port, method, path, headers)
        assert got_status == status, case
        if isinstance(expected, bytes):
            assert got == expected, case
        elif expected is not None:
            assert (len(got), hashlib.sha256(got).hexdigest()) == (size, expected), case
        assert got_headers.get("Cache-Control") == cache, case
        if status in (200, 206) and path.endswith("/2.zip"):
            assert got_headers["ETag"] == etag, case
        if status == 200 and path.endswith("/2.zip"):
            assert got_headers["Accept-Ranges"] == "bytes", case


def test_fallback_endpoint_presents_the_pinned_certificate(front):
    pin = (DEV / "fallback-cert.pin").read_text().strip()
    for port, expected in ((front["fallback"], pin),
                           (front["cdn"], hashlib.sha256(ssl.PEM_cert_to_DER_cert(
                               (DEV / "cdn-cert.pem").read_text())).hexdigest())):
        with socket.create_connection(("127.0.0.1", port), timeout=10) as raw, \
                tls_context().wrap_socket(raw) as tls:
            assert tls.version() == "TLSv1.3" or tls.version() == "TLSv1.2"
            assert hashlib.sha256(tls.getpeercert(binary_form=True)).hexdigest() == expected


def test_repair_requests_of_one_address_beyond_the_burst_are_refused(front):
    body, _, _ = repair_body(front)
    statuses = [fetch(front["cdn"], "POST", REPAIR, {}, body, source="127.0.0.250")[0] for _ in range(BURST + 6)]
    assert statuses[:BURST] == [200] * BURST
    assert 429 in statuses[BURST:]
    # Another address is not affected.
    assert fetch(front["cdn"], "POST", REPAIR, {}, body, source="127.0.0.251")[0] == 200


def test_silent_and_slow_clients_leave_health_and_ranges_answering(front):
    archive_request = b"GET /orvex-patch/2.zip HTTP/1.1\r\nHost: x\r\n\r\n"
    body, _, _ = repair_body(front, smallest=False)
    repair_request = (f"POST {REPAIR} HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\n"
                      f"Content-Length: {len(body)}\r\n\r\n").encode() + body
    held = []
    try:
        # 100 connections that send nothing, 100 that send a repair request's
        # headers and 5 of its 200 body bytes.
        for i in range(200):
            connection = socket.create_connection(("127.0.0.1", front["cdn"]), timeout=10)
            held.append(connection)
            if i % 2:
                connection = tls_context().wrap_socket(connection)
                held[-1] = connection
                connection.sendall(f"POST {REPAIR} HTTP/1.1\r\nHost: x\r\nContent-Length: 200\r\n\r\n2\nBIT".encode())
        # 50 readers that take nothing of their answers (each from its own
        # address, as players are, so that the repair rate does not refuse them).
        for i in range(50):
            raw = socket.socket()
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            raw.bind((f"127.0.1.{i + 1}", 0))
            raw.settimeout(10)
            raw.connect(("127.0.0.1", front["cdn"]))
            connection = tls_context().wrap_socket(raw)
            held.append(connection)
            connection.sendall(repair_request if i % 2 else archive_request)
        time.sleep(1)
        for path, headers, status in (("/healthz", {}, 200), ("/orvex-patch/2.zip", {"Range": "bytes=-100"}, 206)):
            started = time.monotonic()
            assert fetch(front["cdn"], "GET", path, headers)[0] == status
            assert time.monotonic() - started < 2, path
        # And the repair endpoint itself, whose instances the slow readers'
        # answers would otherwise hold.
        started = time.monotonic()
        assert fetch(front["cdn"], "POST", REPAIR, {}, repair_body(front)[0], source="127.0.0.252")[0] == 200
        assert time.monotonic() - started < 2
        # The silent connections are still held, not refused.
        for connection in held[:200:2]:
            connection.setblocking(False)
            with pytest.raises(BlockingIOError):
                connection.recv(1)
    finally:
        for connection in held:
            connection.close()


def test_cbc_ciphers_and_http09_get_nothing(front):
    # A TLS 1.2 client offering only CBC suites (with SHA-1 and SHA-256 MACs).
    old = tls_context()
    old.maximum_version = ssl.TLSVersion.TLSv1_2
    old.set_ciphers("ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA:ECDHE-ECDSA-AES128-SHA256:"
                    "ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES128-SHA256:AES128-SHA:AES256-SHA256")
    for port in (front["cdn"], front["fallback"]):
        with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
            with pytest.raises(ssl.SSLError):
                old.wrap_socket(raw)
    # An HTTP/0.9 request line: the answer would be the bare file, no status.
    manifest = (front["releases"] / "2.manifest").read_bytes()
    with socket.create_connection(("127.0.0.1", front["cdn"]), timeout=10) as raw, \
            tls_context().wrap_socket(raw) as tls:
        tls.sendall(b"GET /orvex-patch/2.manifest\r\n")
        answer = b""
        try:
            while chunk := tls.recv(65536):
                answer += chunk
        except (ssl.SSLError, ConnectionError):
            pass
    assert manifest[:64] not in answer


def test_health_goes_red_when_nginx_cannot_read_the_newest_release(front):
    folder = front["releases"]
    try:
        # As the old publish left a version: readable by its owner only.
        folder.chmod(0o700)
        status, _, body = fetch(front["cdn"], "GET", "/healthz", source="127.0.0.243")
        assert status == 503 and json.loads(body)["status"] != "ok"
    finally:
        folder.chmod(0o755)
    assert fetch(front["cdn"], "GET", "/healthz", source="127.0.0.243")[:3:2] == (
        200, b'{"status": "ok", "versions": [2]}\n')
    # A monitor asking as fast as it can is held to a few answers a second;
    # another address is not.
    connection = http.client.HTTPSConnection("127.0.0.1", front["cdn"], timeout=10, context=tls_context(),
                                             source_address=("127.0.0.244", 0))
    statuses = []
    for _ in range(60):
        connection.request("GET", "/healthz")
        answer = connection.getresponse()
        answer.read()
        statuses.append(answer.status)
    connection.close()
    assert set(statuses) == {200, 429}
    assert fetch(front["cdn"], "GET", "/healthz", source="127.0.0.245")[0] == 200


def test_trickling_and_slow_clients_are_held_to_a_few_per_address(front):
    """client_body_timeout is between two reads: a body trickled faster than
    that stays open however long it takes, and a reader that takes nothing
    is held for send_timeout after each write; so what one address may cost
    is its number of requests in progress (repair answers, each of which may
    hold a temporary file, fewer still and fewer in all): the rest of them are
    refused, other addresses are not."""
    limits = orvex_front.LIMITS
    held = []

    def connect(source, rcvbuf=None):
        raw = socket.socket()
        if rcvbuf:
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        raw.bind((source, 0))
        raw.settimeout(10)
        raw.connect(("127.0.0.1", front["cdn"]))
        held.append(tls_context().wrap_socket(raw))
        return held[-1]

    def trickler(source):
        tls = connect(source)
        tls.sendall(f"POST {REPAIR} HTTP/1.1\r\nHost: x\r\nContent-Length: 200\r\n\r\n".encode())
        return tls

    def repair(source):
        return fetch(front["cdn"], "POST", REPAIR, {}, repair_body(front)[0], source=source)[0]

    try:
        tricklers = [trickler("127.0.4.1") for _ in range(limits["repair_address"])]
        # One byte each, every half timeout, for twice the timeout.
        for _ in range(4):
            for tls in tricklers:
                tls.sendall(b"2")
            time.sleep(BODY_TIMEOUT / 2)
        assert repair("127.0.4.1") == 429
        # Repair answers in progress in all, from as many addresses as needed.
        for i in range(limits["repair_total"] - len(tricklers)):
            tricklers.append(trickler(f"127.0.4.{2 + i // limits['repair_address']}"))
        assert repair("127.0.4.250") == 429
        for _ in range(limits["address_connections"] - limits["repair_address"]):
            connect("127.0.4.1", rcvbuf=4096).sendall(b"GET /orvex-patch/2.zip HTTP/1.1\r\nHost: x\r\n\r\n")
        time.sleep(0.5)
        assert fetch(front["cdn"], "GET", "/orvex-patch/2.manifest", source="127.0.4.1")[0] == 429
        assert fetch(front["cdn"], "GET", "/orvex-patch/2.manifest", source="127.0.4.250")[0] == 200
        for tls in tricklers[:limits["repair_address"]]:
            tls.setblocking(False)
            with pytest.raises(ssl.SSLWantReadError):
                tls.recv(1)
            tls.setblocking(True)
        # Silent for longer than the timeout: each trickler gets 408 or is closed.
        for tls in tricklers:
            tls.settimeout(BODY_TIMEOUT * 5)
            try:
                answer = tls.recv(64)
            except (ssl.SSLError, ConnectionError):
                answer = b""
            assert answer == b"" or b" 408 " in answer
    finally:
        for tls in held:
            tls.close()


def test_access_log_keeps_the_request_line_and_shows_a_cut_answer(front):
    source = "127.0.0.248"
    archive = (front["releases"] / "2.zip").stat().st_size
    assert fetch(front["cdn"], "GET", "/orvex-patch/x/../2.manifest", source=source)[0] == 200
    with socket.create_connection(("127.0.0.1", front["cdn"]), timeout=10, source_address=(source, 0)) as raw, \
            tls_context().wrap_socket(raw) as tls:
        tls.sendall(b"GET /orvex-patch/2.zip HTTP/1.1\r\nHost: x\r\n\r\n")
        tls.recv(65536)
    lines = []
    for _ in range(100):
        lines = [json.loads(line) for line in front["log"].read_text().splitlines() if source in line]
        if len(lines) == 2:
            break
        time.sleep(0.1)
    whole, cut = lines
    assert (whole["request"], whole["path"], whole["complete"]) == (
        "GET /orvex-patch/x/../2.manifest HTTP/1.1", "/orvex-patch/2.manifest", "OK")
    assert (cut["path"], cut["length"], cut["complete"]) == ("/orvex-patch/2.zip", str(archive), "")
    assert cut["bytes"] < archive


def test_front_command_quotes_paths_and_refuses_what_nginx_would_misread(tmp_path, capsys):
    releases = tmp_path / "release folder; x"
    (releases / "2").mkdir(parents=True)
    dollar = tmp_path / "re$leases"
    dollar.mkdir()
    cert = ["--cdn-cert", str(DEV / "cdn-cert.pem"), "--cdn-key", str(DEV / "cdn-key.pem")]
    cases = [
        ([str(dollar), "--upstream", "127.0.0.1:5444", "--cdn-listen", "443", *cert], "cannot take a path"),
        ([str(releases), "--upstream", "127.0.0.1:5444", "--cdn-listen", "443", "--cdn-cert",
          str(tmp_path / "none.pem"), "--cdn-key", str(DEV / "cdn-key.pem")], "is not a file"),
        ([str(releases), "--upstream", "5444", "--cdn-listen", "443", *cert], "is not HOST:PORT"),
        ([str(releases), "--upstream", "127.0.0.1:5444", "--cdn-listen", "host:443", *cert], "is not PORT"),
        ([str(releases), "--cdn-listen", "443", *cert], "no service instance"),
        ([str(releases), "--upstream", "127.0.0.1:5444"], "no endpoint"),
        ([str(tmp_path / "missing"), "--upstream", "127.0.0.1:5444", "--cdn-listen", "443", *cert], "not a folder"),
    ]
    for arguments, message in cases:
        assert orvex_front.main(["--releases", *arguments, "--out", str(tmp_path / "out.conf")]) == 2, arguments
        assert message in capsys.readouterr().err, arguments
    assert not (tmp_path / "out.conf").exists()
    # Spaces and semicolons in paths stay inside their quotes.
    port, prefix = load.free_port(), tmp_path / "front; dir"
    standalone = ["--releases", str(releases), "--upstream", "127.0.0.1:5444", "--cdn-listen", f"127.0.0.1:{port}",
                  *cert, "--standalone", str(prefix)]
    if os.geteuid() == 0:
        assert orvex_front.main([*standalone, "--user", "root"]) == 2
        assert "never run as root" in capsys.readouterr().err
    assert orvex_front.main(standalone) == 0
    checked = subprocess.run([load.NGINX, "-t", "-p", str(prefix), "-c", "nginx.conf", "-e", "logs/error.log"],
                             capture_output=True, text=True)
    assert checked.returncode == 0, checked.stderr
    # Started as root, its workers are www-data's.
    nginx = load.start_nginx(prefix, port)
    try:
        workers = load.worker_pids(nginx.pid)
        assert workers
        for pid in workers:
            uid = int(pathlib.Path(f"/proc/{pid}/status").read_text().split("\nUid:")[1].split()[0])
            assert uid == (pwd.getpwnam("www-data").pw_uid if os.geteuid() == 0 else os.geteuid())
    finally:
        nginx.terminate()
        nginx.wait(20)


def test_a_hung_instance_fails_over_within_the_launchers_patience(front):
    """An instance that is stopped (SIGSTOP: it still accepts connections and
    answers nothing) while repair requests come in: each is answered by the
    other instance before the launcher's 30 s receive timeout."""
    body, size, digest = repair_body(front)
    hung = front["instances"][0]
    processes = [hung.pid, *load.worker_pids(hung.pid)]
    answers = [fetch(front["cdn"], "POST", REPAIR, {}, body, source="127.0.3.1", timeout=30)]
    try:
        for pid in processes:
            os.kill(pid, signal.SIGSTOP)
        # Each nginx worker takes the instances in turn: within a few
        # requests both have sent one to the hung instance.
        for i in range(6):
            answers.append(fetch(front["cdn"], "POST", REPAIR, {}, body, source=f"127.0.3.{i + 2}", timeout=30))
    finally:
        for pid in processes:
            os.kill(pid, signal.SIGCONT)
    for status, _, got in answers:
        assert (status, len(got), hashlib.sha256(got).hexdigest()) == (200, size, digest)
    tried = [json.loads(line)["upstream_status"] for line in front["log"].read_text().splitlines()
             if '"127.0.3.' in line]
    assert "504, 200" in tried
