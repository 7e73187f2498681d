#!/usr/bin/env python3
"""Load test of the patch service: many concurrent clients on loopback.

It publishes a synthetic release with orvex_publish.py release (a patch
archive of about 6 MiB, 40 repair objects of 8 KiB to 1 MiB), then runs the
same client load twice, each for --duration seconds:

  service   orvex-patch-service (gunicorn, --workers worker processes, plain
            HTTP on 127.0.0.1) answering what the launcher asks: whole archive
            downloads, byte ranges of the archive, repair-batch-v4.php segments
  static    a plain static-file gunicorn application with the same worker
            count serving, for each of those requests, a file that holds
            exactly the bytes of the answer (the baseline: the same bytes with
            no range or repair logic, sendfile where gunicorn uses it)

--clients client threads (spread over 4 processes) each open a new connection
per request (as the launcher does), pick a request at random from a fixed pool
(one third each kind) and check the answer's status, length and SHA-256
against what the release says it must be. The run prints requests, bytes and
throughput for both servers and their ratio, the error count, and each
service worker's resident memory after warm-up, at the end, and at its peak
(VmHWM). It exits 1 on any error. Everything stays on 127.0.0.1, and the run
stops by itself (servers included) after the two loads, at the latest after
twice their length plus two minutes.

  python3 tools/orvex_load_test.py                  # 200 clients, 2 workers, 60 s each
  python3 tools/orvex_load_test.py --quick          # 20 clients, 2 s each: checks that it runs
"""
import argparse
import contextlib
import hashlib
import io
import http.client
import json
import multiprocessing
import os
import pathlib
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

TOOLS = pathlib.Path(__file__).resolve().parent
DEV = TOOLS.parent / "testdata" / "dev"
sys.path.insert(0, str(TOOLS))
import orvex_publish  # noqa: E402

VERSION = 2
CLIENT_PROCESSES = 4
POOL_RANGES = 48
POOL_SEGMENTS = 48


def make_release(work):
    """Two trees and the release of the second; returns its folder."""
    rng = random.Random(20240301)
    old, new = work / "old", work / "new"
    common = {"D3DX9_43.dll": rng.randbytes(4096), "ORVEX/Launcher/skin.dat": rng.randbytes(2048),
              "readme.txt": b"load test\r\n", "data/item.tbl": rng.randbytes(20000)}
    objects = {f"game/obj{i:02}.bin": rng.randbytes(rng.randrange(8 * 1024, 1024 * 1024)) for i in range(40)}
    changed = sorted(objects, key=lambda name: -len(objects[name]))[:8]
    for root, files in ((old, {**common, **objects, **{n: rng.randbytes(len(objects[n])) for n in changed}}),
                        (new, {**common, **objects})):
        for relative, data in files.items():
            (root / relative).parent.mkdir(parents=True, exist_ok=True)
            (root / relative).write_bytes(data)
    releases = work / "releases"
    with contextlib.redirect_stdout(io.StringIO()):
        status = orvex_publish.main(["release", "--old", str(old), "--new", str(new), "--previous", str(VERSION - 1),
                                     "--version", str(VERSION), "--update-key", str(DEV / "update-private.pem"),
                                     "--manifest-key", str(DEV / "manifest-private.pem"), "--out", str(releases),
                                     "--no-delta"])
    if status != 0:
        raise SystemExit("load test: the release failed")
    return releases


def request_pool(releases, static):
    """The requests the clients pick from: (method, path, headers, body,
    static name, expected size, expected SHA-256); each answer's bytes are
    also written to static/<name> for the baseline."""
    folder = releases / str(VERSION)
    rng = random.Random(7)
    archive = (folder / f"{VERSION}.zip").read_bytes()
    catalogue_text = (folder / f"{VERSION}.catalogue").read_bytes()
    catalogue = catalogue_text.decode().split()
    digest = hashlib.sha256(catalogue_text).hexdigest()
    pool = []

    def add(method, path, headers, body, data):
        name = f"answer-{len(pool)}"
        (static / name).write_bytes(data)
        pool.append((method, path, headers, body, name, len(data), hashlib.sha256(data).hexdigest()))

    add("GET", f"/orvex-patch/{VERSION}.zip", {}, None, archive)
    for _ in range(POOL_RANGES):
        start = rng.randrange(len(archive))
        kind = rng.randrange(3)
        if kind == 0:
            end = min(len(archive) - 1, start + rng.randrange(1, 2 * 1024 * 1024))
            header = f"bytes={start}-{end}"
        elif kind == 1:
            end, header = len(archive) - 1, f"bytes={start}-"
        else:
            start = len(archive) - rng.randrange(1, len(archive))
            end, header = len(archive) - 1, f"bytes=-{len(archive) - start}"
        add("GET", f"/orvex-patch/{VERSION}.zip", {"Range": header}, None, archive[start:end + 1])
    for _ in range(POOL_SEGMENTS):
        wanted = sorted(rng.sample(range(len(catalogue)), rng.randrange(1, 13)))
        joined = b"".join((folder / "objects" / catalogue[i]).read_bytes() for i in wanted)
        bits = bytearray((len(catalogue) + 7) // 8)
        for i in wanted:
            bits[i // 8] |= 1 << (i % 8)
        offset = rng.randrange(len(joined)) if rng.random() < 0.5 else 0
        length = rng.randrange(1, len(joined) - offset + 1) if offset else len(joined)
        body = f"{VERSION}\nBITS\n{digest}\n{bits.hex()}\n{offset}\n{length}\n".encode()
        add("POST", "/orvex-patch/repair-batch-v4.php", {"Content-Type": "text/plain"}, body,
            joined[offset:offset + length])
    return pool


def static_app(root):
    """The baseline: GET /static/NAME answers the file root/NAME whole."""
    root = pathlib.Path(root)

    def app(environ, start_response):
        path = root / environ["PATH_INFO"].rsplit("/", 1)[-1]
        stream = open(path, "rb")
        start_response("200 OK", [("Content-Length", str(os.fstat(stream.fileno()).st_size)),
                                  ("Content-Type", "application/octet-stream")])
        return environ["wsgi.file_wrapper"](stream, 256 * 1024)
    return app


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_server(kind, releases, static, port, workers, log):
    if kind == "service":
        command = [sys.executable, str(TOOLS / "orvex_patch_service.py"), "--releases", str(releases), "--bind",
                   f"127.0.0.1:{port}", "--workers", str(workers), "--log", str(log)]
    else:
        command = [sys.executable, "-m", "gunicorn", "--worker-class", "gthread", "--workers", str(workers),
                   "--threads", "16", "--bind", f"127.0.0.1:{port}", "--pythonpath", str(TOOLS),
                   f"orvex_load_test:static_app({str(static)!r})"]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=open(log.with_suffix(".err"), "wb"),
                               stdin=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if len(worker_pids(process.pid)) == workers:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1):
                    return process
            except OSError:
                pass
        if process.poll() is not None:
            break
        time.sleep(0.1)
    process.kill()
    raise SystemExit(f"load test: the {kind} server did not start: {log.with_suffix('.err').read_text()}")


def worker_pids(master):
    try:
        children = pathlib.Path(f"/proc/{master}/task/{master}/children").read_text().split()
    except OSError:
        return []
    return [int(pid) for pid in children]


def memory_kib(pid, field):
    try:
        for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith(field + ":"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0


def client_process(kind, port, pool, threads, deadline, results):
    """threads client threads until deadline; puts (requests, bytes, errors, first errors) on results."""
    totals = {"requests": 0, "bytes": 0, "errors": 0, "samples": []}
    lock = threading.Lock()

    def one(rng):
        method, path, headers, body, name, size, digest = rng.choice(pool)
        if kind == "static":
            method, path, headers, body = "GET", f"/static/{name}", {}, None
        expected_status = 206 if "Range" in headers else 200
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        try:
            connection.request(method, path, body=body, headers=headers)
            response = connection.getresponse()
            hasher, received = hashlib.sha256(), 0
            while True:
                chunk = response.read(256 * 1024)
                if not chunk:
                    break
                hasher.update(chunk)
                received += len(chunk)
            if response.status != expected_status or received != size or hasher.hexdigest() != digest:
                return 0, f"{method} {path} {headers}: status {response.status}, {received} of {size} bytes"
            return received, None
        finally:
            connection.close()

    def loop(seed):
        rng = random.Random(seed)
        while time.time() < deadline:
            try:
                received, error = one(rng)
            except Exception as failure:  # a reset or timeout is an error of the run
                received, error = 0, f"{type(failure).__name__}: {failure}"
            with lock:
                totals["requests"] += 1
                totals["bytes"] += received
                if error:
                    totals["errors"] += 1
                    if len(totals["samples"]) < 5:
                        totals["samples"].append(error)

    workers = [threading.Thread(target=loop, args=(os.getpid() * 1000 + i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    results.put(totals)


def run_load(kind, port, pool, clients, duration, master=None):
    deadline = time.time() + duration
    results = multiprocessing.Queue()
    per_process = [clients // CLIENT_PROCESSES + (1 if i < clients % CLIENT_PROCESSES else 0)
                   for i in range(CLIENT_PROCESSES)]
    processes = [multiprocessing.Process(target=client_process, args=(kind, port, pool, n, deadline, results))
                 for n in per_process if n]
    started = time.time()
    for process in processes:
        process.start()
    memory = {}
    while any(process.is_alive() for process in processes) and master is not None:
        for pid in worker_pids(master):
            rss = memory_kib(pid, "VmRSS")
            record = memory.setdefault(pid, {"warm": None, "end": 0, "peak": 0})
            if record["warm"] is None and time.time() - started >= min(5, duration / 2):
                record["warm"] = rss
            record["end"] = rss
            record["peak"] = max(record["peak"], memory_kib(pid, "VmHWM"))
        time.sleep(0.5)
    totals = [results.get(timeout=duration + 120) for _ in processes]
    for process in processes:
        process.join()
    elapsed = time.time() - started
    summary = {"requests": sum(t["requests"] for t in totals), "bytes": sum(t["bytes"] for t in totals),
               "errors": sum(t["errors"] for t in totals), "samples": sum((t["samples"] for t in totals), []),
               "seconds": elapsed, "memory_kib": memory}
    summary["mib_per_s"] = summary["bytes"] / elapsed / 1024 ** 2
    summary["requests_per_s"] = summary["requests"] / elapsed
    return summary


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--clients", type=int, default=200, help="concurrent clients (default 200)")
    parser.add_argument("--duration", type=float, default=60, help="seconds of load per server (default 60)")
    parser.add_argument("--workers", type=int, default=2, help="gunicorn worker processes (default 2)")
    parser.add_argument("--quick", action="store_true", help="20 clients for 2 s each: checks that the test runs")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args(argv)
    if args.quick:
        args.clients, args.duration = 20, 2
    # Bounded: whatever happens, the run ends (and its servers with it).
    signal.signal(signal.SIGALRM, lambda *_: sys.exit("load test: out of time"))
    signal.alarm(int(2 * args.duration) + 120)

    work = pathlib.Path(tempfile.mkdtemp(prefix="orvex-load-"))
    servers = []
    try:
        releases = make_release(work)
        static = work / "static"
        static.mkdir()
        pool = request_pool(releases, static)
        figures = {}
        for kind in ("service", "static"):
            port = free_port()
            server = start_server(kind, releases, static, port, args.workers, work / f"{kind}.log")
            servers.append(server)
            figures[kind] = run_load(kind, port, pool, args.clients, args.duration,
                                     server.pid if kind == "service" else None)
            server.terminate()
            server.wait(30)
        service, static_figures = figures["service"], figures["static"]
        print(f"load test: {args.clients} clients, {args.workers} workers, {args.duration:g} s per server, "
              f"{len(pool)} distinct requests (1 archive, {POOL_RANGES} ranges, {POOL_SEGMENTS} repair segments)")
        for kind, result in figures.items():
            print(f"  {kind:8} {result['requests']:7} requests ({result['requests_per_s']:.0f}/s), "
                  f"{result['bytes'] / 1024 ** 2:9.1f} MiB verified ({result['mib_per_s']:.1f} MiB/s), "
                  f"{result['errors']} errors")
            for sample in result["samples"]:
                print(f"           error: {sample}")
        print(f"  service throughput / static throughput: {service['mib_per_s'] / static_figures['mib_per_s']:.2f}")
        for pid, record in sorted(service["memory_kib"].items()):
            print(f"  worker {pid}: resident {record['warm'] or 0} KiB after warm-up, {record['end']} KiB at the "
                  f"end, peak {record['peak']} KiB")
        if args.json:
            pathlib.Path(args.json).write_text(json.dumps(figures, indent=1))
        ok = all(result["errors"] == 0 and result["requests"] > 0 for result in figures.values())
        return 0 if ok else 1
    finally:
        for server in servers:
            if server.poll() is None:
                server.kill()
                server.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
