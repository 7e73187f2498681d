#!/usr/bin/env python3
"""Load test of the patch service: many concurrent clients on loopback.

It publishes a synthetic release with orvex-publish release (a patch
archive of about 6 MiB, 40 repair objects of 8 KiB to 1 MiB), then runs the
same client load against two servers, each for --duration seconds in all,
taking turns in --rounds rounds:

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
twice their length plus a minute a round and a minute.

With --front the two loads are, over TLS as the launcher asks:

  front     nginx configured by orvex-front in front of two service
            instances (--workers split between them): nginx serves the
            archive and its ranges itself and passes the repair segments on
  nginx     the same nginx alone, serving for each request the file that
            holds exactly the bytes of its answer

and the memory figures cover the nginx workers too. The repair rate per
address is raised for these runs: every client here is one address asking far
faster than a launcher does. --stop-one runs only the front and stops one
service instance (SIGTERM, or --stop-signal: STOP makes it hang) halfway
through: every request must still be answered in full.

  python3 tools/orvex_ops/load_test.py              # 200 clients, 2 workers, 60 s each
  python3 tools/orvex_ops/load_test.py --quick      # 20 clients, 2 s each: checks that it runs
  python3 tools/orvex_ops/load_test.py --front      # through nginx against nginx alone, 60 s each
  python3 tools/orvex_ops/load_test.py --stop-one --duration 10
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
import pwd
import random
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

TOOLS = pathlib.Path(__file__).resolve().parents[1]
DEV = TOOLS.parent / "testdata" / "dev"
SERVICE = TOOLS / "orvex_ops" / "patch_service.py"
if not __package__:  # run as a file of a checkout: the package is imported from tools/
    sys.path[0] = str(TOOLS)
from orvex_ops import front, publish  # noqa: E402

VERSION = 2
CLIENT_PROCESSES = 4
POOL_RANGES = 48
POOL_SEGMENTS = 48
NGINX = "/usr/sbin/nginx"
FRONT_REPAIR_RATE = 100000


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
        status = publish.main(["release", "--old", str(old), "--new", str(new), "--previous", str(VERSION - 1),
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
        command = [sys.executable, str(SERVICE), "--releases", str(releases), "--bind",
                   f"127.0.0.1:{port}", "--workers", str(workers), "--log", str(log)]
    else:
        command = [sys.executable, "-m", "gunicorn", "--worker-class", "gthread", "--workers", str(workers),
                   "--threads", "16", "--bind", f"127.0.0.1:{port}", "--pythonpath", str(TOOLS),
                   f"orvex_ops.load_test:static_app({str(static)!r})"]
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


def wait_for_port(process, port, what, errors):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and process.poll() is None:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return process
        except OSError:
            time.sleep(0.05)
    process.kill()
    process.wait(10)
    raise SystemExit(f"load test: {what} did not start: {pathlib.Path(errors).read_text(errors='replace')}")


def start_nginx(prefix, port):
    """nginx -p prefix in the foreground (its configuration already written);
    returns the master process once port answers."""
    errors = pathlib.Path(prefix) / "logs" / "nginx.err"
    process = subprocess.Popen([NGINX, "-p", str(prefix), "-c", "nginx.conf", "-e", "logs/error.log", "-g",
                                "daemon off;"], stdout=subprocess.DEVNULL, stderr=open(errors, "wb"),
                               stdin=subprocess.DEVNULL)
    return wait_for_port(process, port, "nginx", errors)


SERVICE_USER = "orvex"
# Far above what one address may do in production: every client of the load
# test is one address asking far faster than a launcher does.
LOAD_LIMITS = {"address_connections": 65535, "endpoint_connections": 65535, "repair_address": 65535,
               "repair_total": 65535, "health_rate": 100000}


def ensure_user(name):
    """The account, created as a system user without a home or shell when
    missing (as the guide deploys it); None when not running as root, where
    everything runs as the current user."""
    if os.geteuid() != 0:
        return None
    try:
        pwd.getpwnam(name)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", name],
                       check=True, capture_output=True)
    return name


def work_folder():
    """A fresh folder the unprivileged servers can reach (mkdtemp's and
    pytest's are 0700): the caller removes it."""
    folder = pathlib.Path(tempfile.mkdtemp(prefix="orvex-front-"))
    folder.chmod(0o755)
    return folder


def as_user(user, command):
    if not user:
        return command
    return ["setpriv", "--reuid", user, "--regid", user, "--init-groups", "--reset-env", "--", *command]


def check_readable(user, *paths):
    """Refuses to start servers as user that could not read paths (a 0700
    folder on the way): they would answer 403 or not start."""
    if not user:
        return
    for path in paths:
        if subprocess.run(as_user(user, ["test", "-r", str(path), "-a", "-x", str(path)])).returncode != 0:
            raise SystemExit(f"load test: {user} cannot read {path}: give servers a folder made by work_folder()")


def start_service(releases, port, workers, log, threads=16, user=None):
    """One orvex-patch-service instance, plain HTTP on 127.0.0.1:port, as
    user when given (its log in a folder that user may write)."""
    command = as_user(user, [sys.executable, str(SERVICE), "--releases", str(releases),
                             "--bind", f"127.0.0.1:{port}", "--workers", str(workers), "--threads", str(threads),
                             "--log", str(log)])
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=open(log.with_suffix(".err"), "wb"),
                               stdin=subprocess.DEVNULL)
    process.log_path = log
    return wait_for_port(process, port, "the service", log.with_suffix(".err"))


def start_front(work, releases, port, instances=2, workers=1, repair_rate=FRONT_REPAIR_RATE, repair_burst=40,
                fallback_port=None, threads=16, limits=None):
    """nginx configured by orvex-front on 127.0.0.1:port (the CDN endpoint,
    development certificate; with fallback_port also the fallback endpoint)
    in front of instances service instances; returns (nginx, [instances]),
    each instance's request log at its .log_path. As root it runs as
    deployed: nginx's workers as www-data, each instance as orvex, which
    reads the releases but cannot write them; work (see work_folder()) must
    be reachable by both. limits: front.LIMITS to change, the
    production ones for the others; by default the load test's, far above."""
    work = pathlib.Path(work)
    nginx_user, service_user = ensure_user(front.WORKER_USER), ensure_user(SERVICE_USER)
    check_readable(nginx_user, work, releases)
    check_readable(service_user, releases)
    logs = work / "instance-logs"
    logs.mkdir(exist_ok=True)
    if service_user:
        entry = pwd.getpwnam(service_user)
        os.chown(logs, entry.pw_uid, entry.pw_gid)
    services = []
    try:
        upstreams = []
        for i in range(instances):
            upstream = free_port()
            services.append(start_service(releases, upstream, workers, logs / f"instance-{i}.log", threads,
                                          service_user))
            # Where the log was before the instances had a user of their own.
            (work / f"instance-{i}.log").unlink(missing_ok=True)
            (work / f"instance-{i}.log").symlink_to(logs / f"instance-{i}.log")
            upstreams.append(f"127.0.0.1:{upstream}")
        endpoints = [("cdn", f"127.0.0.1:{port}", DEV / "cdn-cert.pem", DEV / "cdn-key.pem")]
        if fallback_port:
            endpoints.append(("fallback", f"127.0.0.1:{fallback_port}", DEV / "fallback-cert.pem",
                              DEV / "fallback-key.pem"))
        prefix = work / "front"
        http_text = front.render_http(releases, endpoints, upstreams, str(prefix / "logs" / "access.log"),
                                            repair_rate, repair_burst, **(LOAD_LIMITS if limits is None else limits))
        front.write_standalone(prefix, http_text, worker_processes=2, user=nginx_user)
        return start_nginx(prefix, port), services
    except BaseException:
        for service in services:
            service.kill()
        raise


def start_nginx_alone(work, static, port):
    """The same nginx serving GET /static/NAME from static, nothing else."""
    prefix = pathlib.Path(work) / "nginx-alone"
    http_text = f"""server {{
    listen 127.0.0.1:{port} ssl;
    ssl_certificate "{DEV / 'cdn-cert.pem'}";
    ssl_certificate_key "{DEV / 'cdn-key.pem'}";
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_session_cache shared:orvex_tls:10m;
    access_log off;
    sendfile on;
    tcp_nopush on;
    sendfile_max_chunk 512k;
    location /static/ {{
        alias "{static}/";
        default_type application/octet-stream;
    }}
}}"""
    user = ensure_user(front.WORKER_USER)
    check_readable(user, static)
    front.write_standalone(prefix, http_text, worker_processes=2, user=user)
    return start_nginx(prefix, port)


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


def cpu_seconds(pid):
    """User and system CPU time a process has used so far."""
    try:
        fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def client_process(kind, port, pool, threads, deadline, results):
    """threads client threads until deadline; puts (requests, bytes, errors, first errors) on results."""
    totals = {"requests": 0, "bytes": 0, "errors": 0, "samples": []}
    lock = threading.Lock()
    context = None
    if kind in ("front", "nginx"):
        context = ssl.create_default_context(cafile=str(DEV / "dev-ca-cert.pem"))
        context.check_hostname = False

    def one(rng):
        method, path, headers, body, name, size, digest = rng.choice(pool)
        if kind in ("static", "nginx"):
            method, path, headers, body = "GET", f"/static/{name}", {}, None
        expected_status = 206 if "Range" in headers else 200
        if context:
            connection = http.client.HTTPSConnection("127.0.0.1", port, timeout=60, context=context)
        else:
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


def follow_worker(memory, pid, master, warm):
    """Updates pid's resident memory record: after warm-up, last seen, peak."""
    rss = memory_kib(pid, "VmRSS")
    if pid not in memory:
        try:
            command = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")[0].decode(errors="replace")
        except OSError:
            command = ""
        name = "nginx" if command.startswith("nginx") else f"service {master}"
        memory[pid] = {"name": name, "warm": None, "end": 0, "peak": 0, "cpu0": cpu_seconds(pid), "cpu": 0}
    record = memory[pid]
    record["cpu"] = cpu_seconds(pid) or record["cpu"]
    if record["warm"] is None and warm:
        record["warm"] = rss
    if rss:
        record["end"] = rss
    record["peak"] = max(record["peak"], memory_kib(pid, "VmHWM"))


def merge_figures(total, result):
    """The figures of two rounds of one kind added up."""
    if total is None:
        return result
    for key in ("requests", "bytes", "errors", "seconds"):
        total[key] += result[key]
    total["samples"] = (total["samples"] + result["samples"])[:5]
    for pid, record in result["memory_kib"].items():
        seen = total["memory_kib"].setdefault(pid, record)
        seen["warm"] = seen["warm"] or record["warm"]
        seen["end"] = record["end"] or seen["end"]
        seen["peak"] = max(seen["peak"], record["peak"])
        seen["cpu"] = record["cpu"] or seen["cpu"]
    total["mib_per_s"] = total["bytes"] / total["seconds"] / 1024 ** 2
    total["requests_per_s"] = total["requests"] / total["seconds"]
    return total


def instance_summary(log, process):
    """(repair requests answered, whether the instance had stopped by the end)."""
    lines = log.read_text().splitlines() if log.exists() else []
    try:
        hung = pathlib.Path(f"/proc/{process.pid}/stat").read_text().rsplit(")", 1)[1].split()[0] == "T"
    except OSError:
        hung = False
    return {"repairs": sum('repair-batch-v4.php"' in line for line in lines),
            "stopped": process.poll() is not None or hung}


def run_load(kind, port, pool, clients, duration, masters=(), stop=None):
    """masters: processes whose workers' memory is followed; stop: (process,
    signal) sent halfway through."""
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
    while any(process.is_alive() for process in processes):
        if stop and time.time() - started >= duration / 2:
            # A crash (KILL) takes the workers along, and a hang (STOP: the
            # instance still accepts connections, answers nothing) holds them
            # too; a stop goes to the master, which ends its workers gracefully.
            for pid in worker_pids(stop[0].pid) if stop[1] in (signal.SIGKILL, signal.SIGSTOP) else []:
                os.kill(pid, stop[1])
            stop[0].send_signal(stop[1])
            stop = None
        for master in masters:
            for pid in worker_pids(master.pid):
                follow_worker(memory, pid, master.pid, time.time() - started >= min(5, duration / 2))
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
    parser.add_argument("--front", action="store_true", help="through nginx (orvex-front) against nginx alone")
    parser.add_argument("--stop-one", action="store_true",
                        help="only the front; one of its two service instances is stopped halfway")
    parser.add_argument("--stop-signal", default="TERM", choices=("TERM", "KILL", "INT", "STOP"),
                        help="how --stop-one stops it (default TERM, gunicorn's graceful stop; STOP: it hangs)")
    parser.add_argument("--rounds", type=int, default=3,
                        help="the two loads take turns this many times, duration split between them (default 3)")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args(argv)
    if args.quick:
        args.clients, args.duration, args.rounds = 20, 2, 1
    # Bounded: whatever happens, the run ends (and its servers with it).
    signal.signal(signal.SIGALRM, lambda *_: sys.exit("load test: out of time"))
    signal.alarm(int(2 * args.duration) + 60 * args.rounds + 60)

    work = work_folder()
    servers = []
    try:
        releases = make_release(work)
        static = work / "static"
        static.mkdir()
        pool = request_pool(releases, static)
        figures, running = {}, {}
        kinds = ("front",) if args.stop_one else ("front", "nginx") if args.front else ("service", "static")
        for kind in kinds:
            port = free_port()
            masters, stop = [], None
            if kind == "front":
                nginx, instances = start_front(work, releases, port, workers=max(1, args.workers // 2))
                masters = [nginx, *instances]
                if args.stop_one:
                    stop = (instances[0], getattr(signal, "SIG" + args.stop_signal))
            elif kind == "nginx":
                masters = [start_nginx_alone(work, static, port)]
            else:
                server = start_server(kind, releases, static, port, args.workers, work / f"{kind}.log")
                masters = [server]
            servers += masters
            running[kind] = (port, masters, stop)
        # The kinds take turns, so that whatever else the machine does
        # weighs on both alike.
        rounds = 1 if args.stop_one else args.rounds
        for _ in range(rounds):
            for kind, (port, masters, stop) in running.items():
                result = run_load(kind, port, pool, args.clients, args.duration / rounds,
                                  masters, stop)
                figures[kind] = merge_figures(figures.get(kind), result)
        for kind, (port, masters, stop) in running.items():
            if kind == "front":
                figures[kind]["instances"] = [instance_summary(process.log_path, process)
                                              for process in masters[1:]]
            for server in masters:
                # Wakes a hung instance; a worker may be gone already.
                for pid in [server.pid, *worker_pids(server.pid)]:
                    with contextlib.suppress(ProcessLookupError):
                        os.kill(pid, signal.SIGCONT)
                server.terminate()
            for server in masters:
                server.wait(30)
        print(f"load test: {args.clients} clients, {args.workers} workers, {args.duration:g} s per server, "
              f"{len(pool)} distinct requests (1 archive, {POOL_RANGES} ranges, {POOL_SEGMENTS} repair segments)")
        if "front" in figures:
            print("  repair requests per service instance: " + ", ".join(
                f"{record['repairs']}{' (stopped)' if record['stopped'] else ''}"
                for record in figures["front"]["instances"]))
        if args.stop_one:
            print(f"  one of the two service instances stopped (SIG{args.stop_signal}) after "
                  f"{args.duration / 2:g} s")
            if not figures["front"]["instances"][0]["stopped"]:
                print("  error: the instance did not stop")
                figures["front"]["errors"] += 1
        for kind, result in figures.items():
            print(f"  {kind:8} {result['requests']:7} requests ({result['requests_per_s']:.0f}/s), "
                  f"{result['bytes'] / 1024 ** 2:9.1f} MiB verified ({result['mib_per_s']:.1f} MiB/s), "
                  f"{result['errors']} errors")
            for sample in result["samples"]:
                print(f"           error: {sample}")
        for kind, result in figures.items():
            cpu = sum(max(0, record["cpu"] - (record["cpu0"] or 0)) for record in result["memory_kib"].values())
            if cpu:
                print(f"  {kind:8} workers' CPU: {cpu:.1f} s, {cpu / (result['bytes'] / 1024 ** 3):.2f} s per GiB "
                      "verified")
        if len(kinds) == 2:
            first, second = (figures[kind] for kind in kinds)
            print(f"  {kinds[0]} throughput / {kinds[1]} throughput: "
                  f"{first['mib_per_s'] / second['mib_per_s']:.2f}")
        for pid, record in sorted(figures[kinds[0]]["memory_kib"].items()):
            print(f"  worker {pid} ({record['name']}): resident {record['warm'] or 0} KiB after warm-up, "
                  f"{record['end']} KiB at the end, peak {record['peak']} KiB")
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
