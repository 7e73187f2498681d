#!/usr/bin/env python3
"""What one abusive client can cost the nginx front (tools/orvex_ops/front.py),
measured on loopback against the real nginx and two service instances:

  disk      the temporary files nginx holds for 30 repair requests from one
            address, each naming a 96 MiB object, whose clients read nothing
  conns     how many connections one address holds open: readers of the
            archive that take nothing, and connections that send nothing
  failover  a request loop while one of the two instances is stopped with
            SIGSTOP (alive, answering nothing): the longest request and the
            failed ones
  healthz   /healthz answers a second to one client (4 threads, keep-alive)

--tools names the tools folder to measure (another checkout's, to compare),
by default this checkout's. The front runs with the limits the command
writes by default (repair rate 2/s, burst 40), as in production.

  /usr/bin/python3 bench/front_abuse.py
  /usr/bin/python3 bench/front_abuse.py --tools /tmp/base/tools --only failover
"""
import argparse
import hashlib
import http.client
import inspect
import json
import os
import pathlib
import resource
import shutil
import signal
import socket
import ssl
import sys
import tempfile
import threading
import time

BIG = 96 * 1024 * 1024


def context(dev):
    tls = ssl.create_default_context(cafile=str(dev / "dev-ca-cert.pem"))
    tls.check_hostname = False
    return tls


def big_repair_body(releases, version):
    """A repair body naming one object made 96 MiB long (a sparse file: nginx
    still writes every byte of the answer)."""
    folder = releases / str(version)
    text = (folder / f"{version}.catalogue").read_bytes()
    names = text.decode().split()
    with open(folder / "objects" / names[0], "r+b") as stream:
        stream.truncate(BIG)
    bits = bytearray((len(names) + 7) // 8)
    bits[0] = 1
    return f"{version}\nBITS\n{hashlib.sha256(text).hexdigest()}\n{bits.hex()}\n0\n{BIG}\n".encode()


def nginx_workers(load, master):
    return load.worker_pids(master.pid)


def temp_bytes(pids):
    """Bytes of the (deleted) temporary files the nginx workers hold open."""
    total = 0
    for pid in pids:
        try:
            descriptors = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue
        for fd in descriptors:
            try:
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
                if "/temp/proxy/" in target:
                    total += os.stat(f"/proc/{pid}/fd/{fd}").st_size
            except OSError:
                pass
    return total


def raw_tls(port, tls, source, rcvbuf=None):
    raw = socket.socket()
    if rcvbuf:
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    raw.bind((source, 0))
    raw.settimeout(10)
    raw.connect(("127.0.0.1", port))
    return tls.wrap_socket(raw)


def still_open(connection):
    """True while the server has neither closed nor answered the connection
    (an answer's first bytes count as answered only for a refusal)."""
    connection.setblocking(False)
    try:
        data = connection.recv(64)
    except (BlockingIOError, ssl.SSLWantReadError):
        return True
    except OSError:
        return False
    finally:
        connection.setblocking(True)
    return bool(data) and b" 429 " not in data and b" 503 " not in data


def measure_disk(port, tls, body, workers):
    request = (f"POST /orvex-patch/repair-batch-v4.php HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\n"
               f"Content-Length: {len(body)}\r\n\r\n").encode() + body
    held = []
    try:
        for _ in range(30):
            connection = raw_tls(port, tls, "127.0.0.77", rcvbuf=4096)
            connection.sendall(request)
            held.append(connection)
        peak, last, stable = 0, -1, 0
        deadline = time.monotonic() + 90
        while time.monotonic() < deadline and stable < 6:
            time.sleep(0.5)
            now = temp_bytes(workers)
            peak = max(peak, now)
            stable = stable + 1 if now == last else 0
            last = now
        return {"disk_held_bytes": peak, "disk_held_mib": round(peak / 2 ** 20, 1)}
    finally:
        for connection in held:
            connection.close()


def measure_connections(port, tls, most=1000):
    request = b"GET /orvex-patch/2.zip HTTP/1.1\r\nHost: x\r\n\r\n"
    figures = {}
    for kind in ("slow readers", "silent"):
        held = []
        try:
            for _ in range(most):
                try:
                    if kind == "silent":
                        raw = socket.create_connection(("127.0.0.1", port), timeout=10,
                                                       source_address=("127.0.0.78", 0))
                        held.append(raw)
                    else:
                        connection = raw_tls(port, tls, "127.0.0.79", rcvbuf=4096)
                        connection.sendall(request)
                        held.append(connection)
                except OSError:
                    break
            time.sleep(2)
            figures[kind] = sum(still_open(connection) for connection in held)
        finally:
            for connection in held:
                connection.close()
        time.sleep(1)
    return {"connections_held_slow_readers": figures["slow readers"],
            "connections_held_silent": figures["silent"], "tried": most}


def measure_failover(port, tls, instances, small_body, seconds):
    results, stop = [], threading.Event()

    def loop():
        while not stop.is_set():
            started = time.monotonic()
            try:
                connection = http.client.HTTPSConnection("127.0.0.1", port, timeout=120, context=tls,
                                                         source_address=("127.0.0.80", 0))
                connection.request("POST", "/orvex-patch/repair-batch-v4.php", body=small_body)
                answer = connection.getresponse()
                answer.read()
                status = answer.status
                connection.close()
            except Exception as error:
                status = type(error).__name__
            results.append((started, time.monotonic() - started, status))
            time.sleep(0.1)

    threads = [threading.Thread(target=loop) for _ in range(2)]
    for thread in threads:
        thread.start()
    time.sleep(2)
    stopped_at = time.monotonic()
    for pid in [instances[0].pid, *load_module.worker_pids(instances[0].pid)]:
        os.kill(pid, signal.SIGSTOP)
    time.sleep(seconds)
    stop.set()
    for thread in threads:
        thread.join()
    for pid in [instances[0].pid, *load_module.worker_pids(instances[0].pid)]:
        os.kill(pid, signal.SIGCONT)
    after = [(duration, status) for started, duration, status in results if started + duration >= stopped_at]
    return {"failover_requests": len(after), "failover_failed": sum(status != 200 for _, status in after),
            "failover_longest_s": round(max((duration for duration, _ in after), default=0), 1),
            "failover_statuses": sorted({str(status) for _, status in after})}


def measure_health(port, tls, seconds=3.0):
    counts = {}
    lock = threading.Lock()
    deadline = time.monotonic() + seconds

    def loop():
        connection = http.client.HTTPSConnection("127.0.0.1", port, timeout=10, context=tls,
                                                 source_address=("127.0.0.81", 0))
        while time.monotonic() < deadline:
            try:
                connection.request("GET", "/healthz")
                answer = connection.getresponse()
                answer.read()
                status = answer.status
                if answer.getheader("Connection", "").lower() == "close":
                    connection.close()
            except Exception as error:
                status = type(error).__name__
                connection.close()
            with lock:
                counts[status] = counts.get(status, 0) + 1

    threads = [threading.Thread(target=loop) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return {"healthz_200_per_s": round(counts.get(200, 0) / seconds), "healthz_answers":
            {str(key): value for key, value in counts.items()}}


load_module = None


def main(argv=None):
    global load_module
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tools", default=str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
    parser.add_argument("--only", action="append", choices=("disk", "conns", "failover", "healthz"))
    parser.add_argument("--failover-seconds", type=float, default=20)
    parser.add_argument("--json")
    args = parser.parse_args(argv)
    sys.path.insert(0, args.tools)
    from orvex_ops import load_test as load
    load_module = load
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    wanted = args.only or ["disk", "conns", "failover", "healthz"]
    make_work = getattr(load, "work_folder", None)
    work = pathlib.Path(make_work() if make_work else tempfile.mkdtemp(prefix="orvex-abuse-"))
    figures = {}
    try:
        releases = load.make_release(work)
        body = big_repair_body(releases, load.VERSION)
        (work / "static").mkdir()
        pool = load.request_pool(releases, work / "static")
        small = min((entry for entry in pool if entry[0] == "POST"), key=lambda entry: entry[5])[3]
        tls = context(pathlib.Path(args.tools).parent / "testdata" / "dev")
        options = {"repair_rate": 2, "repair_burst": 40}
        if "limits" in inspect.signature(load.start_front).parameters:
            options["limits"] = {}  # the production limits
        for what in wanted:
            port = load.free_port()
            # The failover loop asks faster than a launcher: its repair rate is raised.
            nginx, instances = load.start_front(work, releases, port, **{
                **options, **({"repair_rate": load.FRONT_REPAIR_RATE} if what == "failover" else {})})
            try:
                time.sleep(1)
                if what == "disk":
                    figures.update(measure_disk(port, tls, body, load.worker_pids(nginx.pid)))
                elif what == "conns":
                    figures.update(measure_connections(port, tls))
                elif what == "failover":
                    figures.update(measure_failover(port, tls, instances, small, args.failover_seconds))
                else:
                    figures.update(measure_health(port, tls))
                print(json.dumps(figures), flush=True)
            finally:
                for process in (nginx, *instances):
                    process.send_signal(signal.SIGCONT)
                    process.terminate()
                for process in (nginx, *instances):
                    try:
                        process.wait(30)
                    except Exception:
                        process.kill()
        if args.json:
            pathlib.Path(args.json).write_text(json.dumps(figures, indent=1))
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
