#!/usr/bin/env python3
"""Speed of ORVEX Launcher at real scale, against baselines measured in the same run.

Every figure divides the launcher's time (the subject) by a baseline's: native
tools (unzip, sha256sum, cp, curl) and the minimal Win32 programs of
bench/WineBaseline.cpp under the same Wine prefix. Subject and baselines run
interleaved (subject, baseline, other baseline, subject, ...), --reps times
each, and the medians are compared; inputs are read once before the first
repetition, so the page cache is warm for all of them. The subject runs the
launcher's own code: bench/BenchDriver.cpp around InstallUpdate, HttpsDownload
and the verification pass, and Launcher.exe itself for start-up and idle.
Times of Windows programs are taken inside the program (the work only, not the
Wine process start); times of native tools are the wall time of the command.
The launcher flushes every file it installs and the baselines of the targets
flush nothing, so install and delta figures also carry durable_ratio: against
the same Wine baseline flushing each file it writes.

    bench.py [--quick] [--only NAME[,NAME...]] [--reps N] [--out FILE] [--lock FILE]

--quick runs every benchmark on tiny inputs, once (a check that the suite
still runs; its figures mean nothing). --only takes names or shell patterns
(install_*). Results go to --out (default bench/results.json; with --quick
<build>/bench-quick/results.json); a run with --only replaces just its figures
in an existing file. Inputs are generated once into <build>/bench-data and
reused. --lock FILE is held (flock) while a benchmark runs Launcher.exe or a
stand-in server, so such runs do not overlap with other test runs that take
the same lock.
"""
import argparse
import contextlib
import fcntl
import fnmatch
import json
import os
import pathlib
import random
import shutil
import statistics
import subprocess
import sys
import threading
import time

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[1]
PYTHON = "/usr/bin/python3"
PUBLISH = SOURCE_DIR / "tools" / "orvex_ops" / "publish.py"
TEST_SERVERS = SOURCE_DIR / "tools" / "test_servers"
UPDATE_KEY = SOURCE_DIR / "testdata" / "dev" / "update-private.pem"
MIB = 1024 * 1024
BASE_VERSION = 2369
# The stand-in login server listens on this loopback address (port 15100), so
# that it never meets a test's server on 127.0.0.1.
LOGIN_HOST = "127.0.0.3"


class Scale:
    """Input sizes: the real scale, or tiny ones for --quick."""

    def __init__(self, quick):
        self.quick = quick
        self.big = 2 * MIB if quick else 1024 * MIB  # the "1 GiB" inputs
        self.big_files = 8
        self.small_size = 4096
        self.small_patch = 40 if quick else 10000  # one patch carries at most 10,000 entries
        self.per_folder = 10 if quick else 250
        self.tables = 4 if quick else 50
        self.table_size = 512 * 1024 if quick else 10 * MIB  # 500 MiB of tables in all
        self.startup_files = 100 if quick else 30000
        self.idle_seconds = 1.5 if quick else 20.0
        self.settle_seconds = 1.0 if quick else 3.0
        self.reps = 1 if quick else 3
        self.short_reps = 1 if quick else 5  # for the benchmarks of a few seconds a round


# ---------------------------------------------------------------- helpers

def win_path(path):
    return "Z:" + str(pathlib.Path(path).absolute()).replace("/", "\\")


def without_proxy(env):
    # WinHTTP under Wine and curl both honour these; loopback must be direct.
    return {k: v for k, v in env.items() if k.lower() not in ("http_proxy", "https_proxy", "all_proxy")}


def run_checked(command, **kwargs):
    result = subprocess.run([str(c) for c in command], capture_output=True, **kwargs)
    if result.returncode != 0:
        raise RuntimeError(f"{command[0]} {command[1] if len(command) > 1 else ''} failed ({result.returncode}):\n"
                           f"{result.stdout.decode(errors='replace')[-2000:]}{result.stderr.decode(errors='replace')[-2000:]}")
    return result


def publish(*args):
    return run_checked([PYTHON, PUBLISH, *args])


def remove(path):
    path = pathlib.Path(path)
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    elif path.exists() or path.is_symlink():
        path.unlink()


def warm(*paths):
    """Reads files (or every file under folders) once, so the page cache holds them."""
    for path in paths:
        path = pathlib.Path(path)
        files = [p for p in path.rglob("*") if p.is_file()] if path.is_dir() else [path]
        for file in files:
            with open(file, "rb") as stream:
                while stream.read(8 * MIB):
                    pass


def settle():
    """Writes dirty pages out, so that write-back of the preparation does not
    run into the measured work."""
    os.sync()


def server_ini(version, login_host=LOGIN_HOST):
    return f"[Version]\r\nFiles={version}\r\n[Server]\r\nCount=1\r\nIP0={login_host}\r\n"


def median(values):
    return statistics.median(values) if values else None


class Windows:
    """Windows programs of the build tree under its Wine prefix."""

    def __init__(self, build_dir):
        self.build_dir = pathlib.Path(build_dir)
        self.driver = self.build_dir / "orvex_bench_driver.exe"
        self.baseline = self.build_dir / "orvex_wine_baseline.exe"
        self.launcher = self.build_dir / "Launcher.exe"
        for exe in (self.driver, self.baseline, self.launcher):
            if not exe.exists():
                raise SystemExit(f"{exe} is missing: build the Windows tree first (scripts/build.sh)")
        import harness  # after ORVEX_BUILD_DIR is set
        self.env = without_proxy(harness.wine_environment())
        self.env["WINEDEBUG"] = "-all"

    def run(self, exe, *args, timeout=1800):
        """(elapsed seconds measured inside the program, peak KiB). The
        program reports its time, then waits for the end of its input: its
        VmHWM is read in between, when the work is done and nothing is freed,
        and so is its write_bytes I/O counter (last_write_bytes)."""
        self.last_write_bytes = None
        process = subprocess.Popen(["wine", str(exe), *map(str, args)], env=self.env, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        timer = threading.Timer(timeout, process.kill)
        timer.start()
        try:
            lines = []
            peak = None
            for line in process.stdout:
                lines.append(line)
                if line.startswith("ELAPSED "):
                    peak = proc_peak_kib(process.pid)
                    self.last_write_bytes = proc_write_bytes(process.pid)
                    break
                if line.startswith("ERROR"):
                    break
            process.stdin.close()
            lines.append(process.stdout.read())
            process.wait()
        finally:
            timer.cancel()
        elapsed = parse_program_output(exe, args, process.returncode, "".join(lines))
        return elapsed, peak
    def wine_pids(self):
        """(wineserver pid, Xvfb pid) of this prefix, either None when not found."""
        prefix = self.env["WINEPREFIX"]
        server = None
        for entry in pathlib.Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            try:
                if not (entry / "comm").read_text().startswith("wineserver"):
                    continue
                environ = (entry / "environ").read_bytes().split(b"\0")
            except OSError:
                continue
            if f"WINEPREFIX={prefix}".encode() in environ:
                server = int(entry.name)
        xvfb = None
        with contextlib.suppress(OSError, ValueError):
            candidate = int((self.build_dir / "wine-state" / "xvfb.pid").read_text())
            if pathlib.Path(f"/proc/{candidate}/comm").read_text().strip() == "Xvfb":
                xvfb = candidate
        return server, xvfb


def parse_program_output(exe, args, code, text):
    """The seconds of an "ELAPSED" line; an "ERROR" line or a failed exit raises."""
    elapsed = None
    for line in text.splitlines():
        if line.startswith("ELAPSED "):
            elapsed = float(line.split()[1])
        elif line.startswith("ERROR"):
            raise RuntimeError(f"{pathlib.Path(exe).name} {args[0] if args else ''}: {line}")
    if code != 0 or elapsed is None:
        raise RuntimeError(f"{pathlib.Path(exe).name} {args[0] if args else ''} exited {code}: {text[-2000:]}")
    return elapsed


def native(*commands, cwd=None, env=None):
    """Wall time of shell commands run one after the other; (seconds, None)."""
    started = time.perf_counter()
    for command in commands:
        result = subprocess.run(command, shell=True, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if result.returncode != 0:
            raise RuntimeError(f"{command} failed: {result.stderr.decode(errors='replace')[-2000:]}")
    return time.perf_counter() - started, None


def proc_cpu_seconds(pid):
    """utime + stime of a process (all its threads), in seconds."""
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_write_bytes(pid):
    """The bytes a process has sent (or will send) to the disk for the files it
    wrote: write_bytes of /proc/<pid>/io, which counts a page when it is dirtied
    and so includes what the flusher writes back later. Wine runs a program's
    file writes in the program's own process. None when unreadable."""
    with contextlib.suppress(OSError, ValueError):
        for line in pathlib.Path(f"/proc/{pid}/io").read_text().splitlines():
            if line.startswith("write_bytes:"):
                return int(line.split()[1])
    return None


def proc_peak_kib(pid):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return None


# ---------------------------------------------------------------- inputs

class Inputs:
    """Generated once per scale under <build>/bench-data/<scale>/<name>; a
    "complete" file marks a finished set, so an interrupted one is made again."""

    def __init__(self, build_dir, scale):
        self.root = pathlib.Path(build_dir) / "bench-data" / ("quick" if scale.quick else "full")
        self.scale = scale

    def folder(self, name, make):
        folder = self.root / name
        if not (folder / "complete").exists():
            remove(folder)
            folder.mkdir(parents=True)
            print(f"  preparing {name} in {folder} ...", flush=True)
            make(folder)
            (folder / "complete").write_text("1\n")
        return folder

    # Random bytes that stay the same from run to run.
    @staticmethod
    def random_file(path, size, seed):
        path.parent.mkdir(parents=True, exist_ok=True)
        rng = random.Random(seed)
        with open(path, "wb") as out:
            left = size
            while left:
                part = min(left, 8 * MIB)
                out.write(rng.randbytes(part))
                left -= part

    @staticmethod
    def text_file(path, size, seed):
        """Tab-separated table rows, which deflate about four to one."""
        path.parent.mkdir(parents=True, exist_ok=True)
        rng = random.Random(seed)
        rows = []
        length = 0
        row = 0
        while length < 4 * MIB:
            line = f"{row}\titem_{rng.randrange(100000):05}\t{rng.randrange(1, 80)}\t{rng.randrange(10, 99999)}\t" \
                   f"{rng.choice(('sword', 'shield', 'potion', 'scroll', 'armor'))}\r\n"
            rows.append(line)
            length += len(line)
            row += 1
        block = "".join(rows).encode("ascii")
        with open(path, "wb") as out:
            left = size
            number = 0
            while left:
                piece = (f"# block {number}\r\n".encode("ascii") + block)[:left]
                out.write(piece)
                left -= len(piece)
                number += 1

    def make_update(self, old, new, version, out, *options):
        publish("make-update", "--old", old, "--new", new, "--version", version, "--key", UPDATE_KEY, "--out", out,
                *options)
        return Patch(out, version)

    def big_patch(self, kind):
        """8 files of 1/8 of the big size: kind "stored" (random bytes) or
        "deflated" (table text); one patch 2370 from an empty tree."""
        def make(folder):
            tree, empty = folder / "tree", folder / "empty"
            empty.mkdir()
            for i in range(self.scale.big_files):
                path = tree / "data" / f"pack{i}.pak"
                size = self.scale.big // self.scale.big_files
                if kind == "stored":
                    self.random_file(path, size, f"big-new-{i}")
                else:
                    self.text_file(path, size, f"big-text-{i}")
            self.make_update(empty, tree, BASE_VERSION + 1, folder / "patch",
                             "--store" if kind == "stored" else "--deflate")
            remove(tree)
        return Patch(self.folder(f"big_{kind}", make) / "patch", BASE_VERSION + 1)

    def big_old_tree(self):
        """The client files that the stored patch replaces: same names, other bytes."""
        def make(folder):
            for i in range(self.scale.big_files):
                self.random_file(folder / "tree" / "data" / f"pack{i}.pak", self.scale.big // self.scale.big_files,
                                 f"big-old-{i}")
        return self.folder("big_old", make) / "tree"

    def small_patches(self, layout, count):
        """The first count new 4 KiB files, as patches 2370, 2371, ... of at
        most small_patch files each (the most one archive may carry), laid out
        "spread" (per_folder files a folder) or all in "one" folder. One set of
        three patches serves every count."""
        per_patch = self.scale.small_patch

        def make(folder):
            empty = folder / "empty"
            empty.mkdir()
            rng = random.Random(f"small-{layout}")
            for p in range(3):
                tree = folder / f"tree{p}"
                for i in range(p * per_patch, (p + 1) * per_patch):
                    name = f"pack/d{i // self.scale.per_folder:04}/f{i:06}.bin" if layout == "spread" \
                        else f"pack/f{i:06}.bin"
                    path = tree / name
                    path.parent.mkdir(parents=True, exist_ok=True)
                    path.write_bytes(rng.randbytes(self.scale.small_size))
                self.make_update(empty, tree, BASE_VERSION + 1 + p, folder / "patches", "--store")
                remove(tree)
        folder = self.folder(f"small_{layout}", make)
        return [Patch(folder / "patches", BASE_VERSION + 1 + p) for p in range(-(-count // per_patch))]

    def delta(self):
        """ui/ui.src of the big size and a new one with 1% of it changed:
        10 KiB at a random place in every MiB. Returns (old tree, patch)."""
        def make(folder):
            old, new = folder / "old", folder / "new"
            self.random_file(old / "ui" / "ui.src", self.scale.big, "delta-base")
            data_rng = random.Random("delta-edits")
            new.joinpath("ui").mkdir(parents=True)
            with open(old / "ui" / "ui.src", "rb") as source, open(new / "ui" / "ui.src", "wb") as target:
                while True:
                    chunk = bytearray(source.read(MIB))
                    if not chunk:
                        break
                    length = min(10240, len(chunk))
                    at = data_rng.randrange(0, len(chunk) - length + 1)
                    chunk[at:at + length] = data_rng.randbytes(length)
                    target.write(chunk)
            self.make_update(old, new, BASE_VERSION + 1, folder / "patch")
            remove(new)
        folder = self.folder("delta", make)
        return folder / "old", Patch(folder / "patch", BASE_VERSION + 1)

    def verify_client(self):
        """A client whose signed manifests list the tables (integrity) and the
        start-up files; returns (client folder, files in manifest order)."""
        def make(folder):
            client = folder / "client"
            for i in range(self.scale.tables):
                self.random_file(client / "data" / f"t{i:03}.tbl", self.scale.table_size, f"table-{i}")
            rng = random.Random("startup-files")
            for i in range(self.scale.startup_files):
                path = client / "res" / f"d{i // 250:03}" / f"f{i:05}.dat"
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_bytes(rng.randbytes(self.scale.small_size))
            (client / "Server.ini").write_text(server_ini(BASE_VERSION + 3))
            publish("make-client-manifests", "--tree", client, "--out", client)
        folder = self.folder("verify", make)
        client = folder / "client"
        tables = [client / "data" / f"t{i:03}.tbl" for i in range(self.scale.tables)]
        startup = [client / "res" / f"d{i // 250:03}" / f"f{i:05}.dat" for i in range(self.scale.startup_files)]
        return client, tables + startup


class Patch:
    """A signed update made by orvex-publish make-update."""

    def __init__(self, folder, version):
        self.folder = pathlib.Path(folder)
        self.version = version
        self.manifest = self.folder / f"{version}.manifest"
        self.signature = self.folder / f"{version}.manifest.sig"
        self.archive = self.folder / f"{version}.zip"

    def paths(self):
        lines = self.manifest.read_text().split("\n")
        return [line.split("\t")[2] for line in lines[6:] if line]

    def installed_bytes(self):
        """The sum of the signed sizes of the patch's files."""
        lines = self.manifest.read_text().split("\n")
        return sum(int(line.split("\t")[1]) for line in lines[6:] if line)

    def driver_args(self):
        return [win_path(self.manifest), win_path(self.signature), win_path(self.archive), self.version]


# ---------------------------------------------------------------- figures

# The launcher flushes every file it installs; the baselines of the targets
# flush nothing, so each install and delta figure also carries its ratio
# against the same minimal Wine program flushing what it writes.
DURABLE_NOTE = ("durable_ratio: against the same minimal Wine program that also calls FlushFileBuffers on each file "
                "it writes, as the launcher must; ratio keeps the baseline of the target, which flushes nothing, so "
                "that it compares with earlier runs")


def figure(name, subject, baselines, target_baseline, limit, target_text, notes="", extra=None, durable=None):
    """One result: subject is a list of (seconds, peak KiB); baselines maps a
    label to such a list; the target is ratio <= limit against target_baseline
    (limit None: recorded without a target). durable names the baseline that
    flushes what it writes, whose ratio is shown beside the target's."""
    subject_s = median([s for s, _ in subject])
    peaks = [p for _, p in subject if p]
    base_s = median([s for s, _ in baselines[target_baseline]])
    ratio = subject_s / base_s if base_s else None
    others = []
    for label, samples in baselines.items():
        if label == target_baseline:
            continue
        seconds = median([s for s, _ in samples])
        others.append({"baseline": label, "baseline_s": round(seconds, 4),
                       "ratio": round(subject_s / seconds, 3) if seconds else None})
    result = {
        "name": name,
        "subject_s": round(subject_s, 4),
        "baseline": target_baseline,
        "baseline_s": round(base_s, 4),
        "ratio": round(ratio, 3) if ratio is not None else None,
        "target": target_text,
        "met": True if limit is None else (ratio is not None and ratio <= limit),
        "peak_mib": round(max(peaks) / 1024, 1) if peaks else None,
        "other_baselines": others,
        "samples": {"subject": [round(s, 4) for s, _ in subject],
                    **{label: [round(s, 4) for s, _ in samples] for label, samples in baselines.items()}},
        "baseline_peak_mib": {label: round(max(p for _, p in samples if p) / 1024, 1)
                              for label, samples in baselines.items() if any(p for _, p in samples)},
    }
    if durable:
        seconds = median([s for s, _ in baselines[durable]])
        result.update({"durable_baseline": durable, "durable_baseline_s": round(seconds, 4),
                       "durable_ratio": round(subject_s / seconds, 3) if seconds else None,
                       "durable_note": DURABLE_NOTE})
    if notes:
        result["notes"] = notes
    if extra:
        result.update(extra)
    return result


def interleave(reps, runners, prepare=None, cleanup=None):
    """Runs each (label, function) in turn, reps rounds; prepare(label) before
    and cleanup(label) after each run. Returns label -> [(seconds, peak KiB)]."""
    samples = {label: [] for label, _ in runners}
    for round_number in range(reps):
        for label, run in runners:
            if prepare:
                prepare(label)
            try:
                result = run()
            except BaseException:
                # The run's own failure is the one to report, not what the
                # clean-up then finds missing.
                if cleanup:
                    with contextlib.suppress(Exception):
                        cleanup(label)
                raise
            if cleanup:
                cleanup(label)
            samples[label].append(result)
        print(f"    round {round_number + 1}/{reps}: " +
              ", ".join(f"{label} {samples[label][-1][0]:.3f} s" for label, _ in runners), flush=True)
    return samples


DURABLE_EXTRACT = "wine extract + flush + sha256"
DURABLE_COPY = "wine CopyFileW + flush + sha256"


class Suite:
    def __init__(self, args):
        self.scale = Scale(args.quick)
        if args.reps:
            self.scale.reps = self.scale.short_reps = args.reps
        self.build_dir = pathlib.Path(args.build_dir).absolute()
        self.windows = Windows(self.build_dir)
        self.inputs = Inputs(self.build_dir, self.scale)
        self.work = self.build_dir / ("bench-run-quick" if args.quick else "bench-run")
        remove(self.work)
        self.work.mkdir(parents=True)
        self.lock_path = args.lock
        self.native_env = without_proxy(dict(os.environ))

    @contextlib.contextmanager
    def e2e_lock(self):
        if not self.lock_path:
            yield
            return
        with open(self.lock_path, "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            try:
                yield
            finally:
                fcntl.flock(lock, fcntl.LOCK_UN)

    def client(self, name, old_tree=None):
        """A fresh client folder at version 2369 (a copy of old_tree when given)."""
        client = self.work / name
        remove(client)
        if old_tree:
            run_checked(["cp", "-a", old_tree, client])
        else:
            client.mkdir(parents=True)
        (client / "Server.ini").write_text(server_ini(BASE_VERSION))
        return client

    # -- installs of whole files

    def install(self, name, patches, old_tree=None, target="wine", limit=1.3, notes=""):
        """The install of patches (applied in order) against one extraction and
        one SHA-256 pass: native unzip + sha256sum and the Wine baseline, and
        the Wine baseline flushing each file it writes."""
        warm(*(p.archive for p in patches), *([old_tree] if old_tree else []))
        out = self.work / "out"
        listed = self.work / "extracted.list"
        paths = [path for p in patches for path in p.paths()]
        listed.write_bytes(b"".join(path.encode() + b"\0" for path in paths))
        unzip = [f"unzip -q -o {p.archive} -d {out}" for p in patches]

        def prepare(label):
            if label == "subject":
                self.client("client", old_tree)
            elif old_tree:
                run_checked(["cp", "-a", old_tree, out])
            else:
                out.mkdir()
            settle()

        def cleanup(label):
            remove(self.work / "client")
            remove(out)

        written = []
        runners = [
            ("subject", self.counting_writes(written, lambda: self.windows.run(
                self.windows.driver, "install", win_path(self.work / "client"), BASE_VERSION,
                *[a for p in patches for a in p.driver_args()]))),
            ("wine extract + sha256", lambda: self.windows.run(self.windows.baseline, "extract", win_path(out),
                                                              *[win_path(p.archive) for p in patches])),
            ("unzip + sha256sum", lambda: native(*unzip, f"xargs -0 -a {listed} sha256sum", cwd=out)),
            (DURABLE_EXTRACT, lambda: self.windows.run(self.windows.baseline, "extract", "--flush", win_path(out),
                                                       *[win_path(p.archive) for p in patches])),
        ]
        samples = interleave(self.scale.reps, runners, prepare, cleanup)
        baselines = {label: samples[label] for label, _ in runners[1:]}
        target_label = "wine extract + sha256" if target == "wine" else "unzip + sha256sum"
        text = f"<= {limit}x {'Wine baseline' if target == 'wine' else 'native'}"
        return figure(name, samples["subject"], baselines, target_label, limit, text, notes,
                      extra=self.written_figure(written, sum(p.installed_bytes() for p in patches)),
                      durable=DURABLE_EXTRACT)

    def counting_writes(self, written, run):
        """run, with the subject's write_bytes after each call appended to written."""
        def counted():
            result = run()
            written.append(self.windows.last_write_bytes)
            return result
        return counted

    @staticmethod
    def written_figure(written, installed):
        """Bytes written to disk per byte installed: the median of the subject's
        runs (its write_bytes over the installed files' sizes)."""
        if not installed or not written or None in written:
            return {"written_per_installed": None}
        return {"written_per_installed": round(median(written) / installed, 3),
                "written_bytes": written, "installed_bytes": installed}

    def bench_install_1g_stored_new(self):
        return self.install("install_1g_stored_new", [self.inputs.big_patch("stored")],
                            notes="8 files of random bytes, stored, into a client without them")

    def bench_install_1g_deflated_new(self):
        return self.install("install_1g_deflated_new", [self.inputs.big_patch("deflated")],
                            notes="8 files of table text, deflated, into a client without them")

    def bench_install_1g_stored_existing(self):
        return self.install("install_1g_stored_existing", [self.inputs.big_patch("stored")],
                            old_tree=self.inputs.big_old_tree(),
                            notes="the same 8 stored files over existing ones (backups taken)")

    def small(self, layout, count):
        patches = self.inputs.small_patches(layout, count)
        where = f"{self.scale.per_folder} a folder" if layout == "spread" else "all in one folder"
        notes = f"{count} files of 4 KiB, {where}, in {len(patches)} patch(es) of at most " \
                f"{self.scale.small_patch} (the most one archive may carry)"
        return self.install("small", patches, target="native", limit=4.0, notes=notes)

    def bench_small_10k_spread(self):
        return self.small("spread", self.scale.small_patch)

    def bench_small_30k_spread(self):
        return self.small("spread", 3 * self.scale.small_patch)

    def bench_small_10k_one_folder(self):
        return self.small("one", self.scale.small_patch)

    def bench_small_30k_one_folder(self):
        return self.small("one", 3 * self.scale.small_patch)

    # -- delta rebuild

    def bench_delta_1g_1pct(self):
        old_tree, patch = self.inputs.delta()
        warm(old_tree, patch.archive)
        client = self.work / "client"
        base = client / "ui" / "ui.src"
        copy = client / "ui" / "ui.src.copy"

        def prepare(label):
            self.client("client", old_tree)
            settle()

        written = []
        runners = [
            ("subject", self.counting_writes(written, lambda: self.windows.run(
                self.windows.driver, "install", win_path(client), BASE_VERSION, *patch.driver_args()))),
            ("cp + sha256sum", lambda: native(f"cp {base} {copy}", f"sha256sum {copy}")),
            ("wine CopyFileW + sha256", lambda: self.windows.run(self.windows.baseline, "copyhash", win_path(base),
                                                                win_path(copy))),
            (DURABLE_COPY, lambda: self.windows.run(self.windows.baseline, "copyhash", "--flush", win_path(base),
                                                    win_path(copy))),
        ]
        samples = interleave(self.scale.reps, runners, prepare, lambda label: remove(client))
        return figure("delta_1g_1pct", samples["subject"], {k: samples[k] for k, _ in runners[1:]},
                      "cp + sha256sum", 1.3, "<= 1.3x cp + sha256sum",
                      notes="install of a delta entry over a base of the big size, 1% of it changed "
                            "(10 KiB in every MiB)",
                      extra=self.written_figure(written, (old_tree / "ui" / "ui.src").stat().st_size),
                      durable=DURABLE_COPY)

    # -- download

    def bench_download_1g(self):
        patch = self.inputs.big_patch("stored")
        size = patch.archive.stat().st_size
        warm(patch.archive)
        target = self.work / "download.bin"
        port_file = self.work / "patch-port.json"
        with self.e2e_lock():
            server = subprocess.Popen([PYTHON, str(TEST_SERVERS / "patch_server.py"), "--root",
                                       str(patch.folder), "--no-fallback", "--cdn-port", "0", "--port-file",
                                       str(port_file), "--lifetime", "3600", "--quiet"],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                      text=True)
            try:
                if "listening" not in server.stdout.readline():
                    raise RuntimeError("patch server did not start")
                port = json.loads(port_file.read_text())["cdn"]
                url = f"https://127.0.0.1:{port}/orvex-patch/{patch.archive.name}"
                runners = [
                    ("subject", lambda: self.windows.run(self.windows.driver, "download", url, win_path(target),
                                                         size)),
                    ("wine WinHTTP loop", lambda: self.windows.run(self.windows.baseline, "download", url,
                                                                  win_path(target))),
                    ("curl", lambda: native(f"curl -sS --fail -k --noproxy '*' -o {target} {url}",
                                            env=self.native_env)),
                ]

                def cleanup(label):
                    if target.stat().st_size != size:
                        raise RuntimeError(f"{label} downloaded {target.stat().st_size} bytes, not {size}")
                    remove(target)
                samples = interleave(self.scale.reps, runners, None, cleanup)
            finally:
                server.terminate()
                server.wait(10)
        curl = median([s for s, _ in samples["curl"]])
        return figure("download_1g", samples["subject"], {k: samples[k] for k, _ in runners[1:]},
                      "wine WinHTTP loop", 1.0, "<= 1.0x bare WinHTTP loop",
                      notes="loopback HTTPS from tools/test_servers/patch_server.py; "
                            f"curl fetches the same in {curl:.2f} s, "
                            "so the server is not what limits the Wine figures unless these come close to it")

    # -- verification and the background pass

    def bench_verify_500m_30k(self):
        client, files = self.inputs.verify_client()
        warm(client)
        listed = self.work / "verify.list"
        listed.write_text("".join(win_path(f) + "\n" for f in files), encoding="utf-8")
        runners = [
            ("subject", lambda: self.windows.run(self.windows.driver, "verify", win_path(client), BASE_VERSION + 3)),
            ("wine BCrypt hash loop", lambda: self.windows.run(self.windows.baseline, "hash", win_path(listed))),
        ]
        samples = interleave(self.scale.reps, runners)
        total = sum(f.stat().st_size for f in files)
        return figure("verify", samples["subject"], {"wine BCrypt hash loop": samples["wine BCrypt hash loop"]},
                      "wine BCrypt hash loop", round(1 / 1.8, 3), "<= 0.556x (1.8x faster than one core)",
                      notes=f"forced verification pass: {self.scale.tables} tables and {self.scale.startup_files} "
                            f"start-up files, {total / MIB:.0f} MiB")

    def bench_background_unchanged_30k(self):
        client, files = self.inputs.verify_client()
        warm(client)
        listed = self.work / "attrs.list"
        manifests = [client / "ORVEX" / "Startup.manifest", client / "ORVEX" / "Integrity.manifest"]
        listed.write_text("".join(win_path(f) + "\n" for f in manifests + files), encoding="utf-8")
        driver = subprocess.Popen(["wine", str(self.windows.driver), "background", win_path(client),
                                   str(BASE_VERSION + 3)], env=self.windows.env, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            line = driver.stdout.readline()
            if line.strip() != "READY":
                raise RuntimeError(f"background driver: {line}{driver.stdout.read()}")

            def subject():
                driver.stdin.write("pass\n")
                driver.stdin.flush()
                answer = driver.stdout.readline()
                if not answer.startswith("ELAPSED "):
                    raise RuntimeError(f"background driver: {answer}{driver.stdout.read()}")
                return float(answer.split()[1]), None

            runners = [("subject", subject),
                       ("wine attribute loop", lambda: self.windows.run(self.windows.baseline, "attrs",
                                                                       win_path(listed)))]
            samples = interleave(self.scale.short_reps, runners)
            peak = proc_peak_kib(driver.pid)
            driver.stdin.close()
            rest = driver.stdout.read()
            driver.wait(60)
            parse_program_output(self.windows.driver, ["background"], driver.returncode, "ELAPSED 0\n" + rest)
        finally:
            if driver.poll() is None:
                driver.kill()
                driver.wait()
        samples["subject"] = [(s, peak) for s, _ in samples["subject"]]
        count = len(files) + len(manifests)
        return figure("background", samples["subject"], {"wine attribute loop": samples["wine attribute loop"]},
                      "wine attribute loop", 1.5, "<= 1.5x attribute loop",
                      notes=f"a background pass that finds nothing changed, {count} managed files; the baseline "
                            "asks GetFileAttributesExW once per file")

    # -- the window: start-up and idle

    @contextlib.contextmanager
    def login_server(self):
        """The stand-in login server on LOGIN_HOST:15100, ready to play at 2372."""
        record = self.work / "login-record.jsonl"
        remove(record)
        server = subprocess.Popen([PYTHON, str(TEST_SERVERS / "login_server.py"), "--host", LOGIN_HOST,
                                   "--version", str(BASE_VERSION + 3), "--record", str(record), "--lifetime",
                                   "3600", "--quiet"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  stdin=subprocess.DEVNULL, text=True)
        try:
            if "listening" not in server.stdout.readline():
                raise RuntimeError("login server did not start")
            yield record
        finally:
            server.terminate()
            server.wait(10)

    def window_client(self):
        import harness
        client = self.work / "window-client"
        remove(client)
        harness.make_client(client, version=BASE_VERSION + 3, login_host=LOGIN_HOST)
        return client

    def start_and_wait_for_paint(self, exe, args, cwd, timeout=60):
        """Starts a Windows program with the text trace on; returns (process,
        seconds from the start to its first DrawText)."""
        env = dict(self.windows.env, WINEDEBUG="-all,trace+text")
        painted = threading.Event()
        started = time.perf_counter()
        process = subprocess.Popen(["wine", str(exe), *args], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        moment = []

        def watch():
            for line in process.stderr:
                if not painted.is_set() and b"DrawTextExW" in line:
                    moment.append(time.perf_counter())
                    painted.set()
            # keeps reading until the end so that the program never blocks on a full pipe

        reader = threading.Thread(target=watch, daemon=True)
        reader.start()
        if not painted.wait(timeout):
            process.kill()
            process.wait()
            raise RuntimeError(f"{pathlib.Path(exe).name} painted nothing in {timeout} s")
        return process, moment[0] - started

    @staticmethod
    def end(process):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def bench_startup_first_paint(self):
        client = self.window_client()
        warm(client, self.windows.launcher, self.windows.baseline)
        with self.e2e_lock(), self.login_server():
            def launcher():
                process, seconds = self.start_and_wait_for_paint(client / "Launcher.exe", [], client)
                peak = proc_peak_kib(process.pid)
                self.end(process)
                return seconds, peak

            def baseline():
                process, seconds = self.start_and_wait_for_paint(self.windows.baseline, ["window"], self.work)
                process.wait(30)
                return seconds, None

            samples = interleave(self.scale.short_reps, [("subject", launcher), ("wine window", baseline)])
        return figure("startup_first_paint", samples["subject"], {"wine window": samples["wine window"]},
                      "wine window", None, "none (recorded)",
                      notes="from the process start to the first painted text, Wine start included in both")

    def idle_cpu(self, process, seconds):
        """CPU seconds of the process, this prefix's wineserver and the display
        over the next seconds: (total, {part: seconds})."""
        server, xvfb = self.windows.wine_pids()
        parts = {"process": process.pid, "wineserver": server, "Xvfb": xvfb}
        before = {name: proc_cpu_seconds(pid) for name, pid in parts.items() if pid}
        time.sleep(seconds)
        after = {name: proc_cpu_seconds(pid) for name, pid in parts.items() if pid}
        used = {name: after[name] - before[name] for name in before}
        return sum(used.values()), used

    def bench_idle_cpu(self):
        client = self.window_client()
        seconds = self.scale.idle_seconds
        breakdown = {"subject": []}
        with self.e2e_lock(), self.login_server() as record:
            def launcher():
                frames_before = len(record.read_text().splitlines()) if record.exists() else 0
                process = subprocess.Popen(["wine", str(client / "Launcher.exe")], cwd=client, env=self.windows.env,
                                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)
                try:
                    # Ready once the server has answered the download request
                    # (the third frame); then the first background pass runs.
                    deadline = time.monotonic() + 60
                    while not (record.exists() and len(record.read_text().splitlines()) >= frames_before + 3):
                        if time.monotonic() > deadline or process.poll() is not None:
                            raise RuntimeError("the launcher did not reach the login server's download reply")
                        time.sleep(0.1)
                    time.sleep(self.scale.settle_seconds)
                    total, used = self.idle_cpu(process, seconds)
                    breakdown["subject"].append(used)
                    return total, proc_peak_kib(process.pid)
                finally:
                    self.end(process)

            def bare_window(*flags):
                def run():
                    process = subprocess.Popen(["wine", str(self.windows.baseline), "window", "--stay", *flags],
                                               cwd=self.work, env=self.windows.env, stdin=subprocess.DEVNULL,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    try:
                        time.sleep(self.scale.settle_seconds)
                        total, used = self.idle_cpu(process, seconds)
                        breakdown[label_of[flags]].append(used)
                        return total, proc_peak_kib(process.pid)
                    finally:
                        self.end(process)
                return run

            # The second window wakes on the launcher's two timers and does
            # nothing else: the floor that those timers set under Wine.
            label_of = {(): "wine window", ("--timers",): "wine window, two timers"}
            breakdown.update({label: [] for label in label_of.values()})
            samples = interleave(self.scale.reps, [("subject", launcher), ("wine window", bare_window()),
                                                   ("wine window, two timers", bare_window("--timers"))])
        result = figure("idle_cpu", samples["subject"],
                        {label: samples[label] for label in ("wine window", "wine window, two timers")}, "wine window",
                        None, "<= 0.5% of a core",
                        notes=f"CPU seconds over {seconds:g} s with the window open and the session ready "
                              "(the launcher process, this prefix's wineserver and the X server together)")
        percent = 100 * result["subject_s"] / seconds
        result["met"] = percent <= 0.5
        result["subject_cpu_pct"] = round(percent, 3)
        result["baseline_cpu_pct"] = round(100 * result["baseline_s"] / seconds, 3)
        timers = median([total for total, _ in samples["wine window, two timers"]])
        result["timers_window_cpu_pct"] = round(100 * timers / seconds, 3)
        result["cpu_breakdown_s"] = {label: {part: round(median([u[part] for u in runs]), 4) for part in runs[0]}
                                     for label, runs in breakdown.items() if runs}
        return result


BENCHMARKS = [
    "install_1g_stored_new", "install_1g_deflated_new", "install_1g_stored_existing",
    "small_10k_spread", "small_30k_spread", "small_10k_one_folder", "small_30k_one_folder",
    "delta_1g_1pct", "download_1g", "verify_500m_30k", "background_unchanged_30k",
    "startup_first_paint", "idle_cpu",
]
PEAK_LIMIT_MIB = 64


def peak_figure(figures):
    peaks = [(f["peak_mib"], f["name"]) for f in figures if f.get("peak_mib") is not None]
    if not peaks:
        return None
    peak, where = max(peaks)
    return {"name": "peak_memory", "subject_s": None, "baseline": f"limit {PEAK_LIMIT_MIB} MiB", "baseline_s": None,
            "ratio": round(peak / PEAK_LIMIT_MIB, 3), "target": f"<= {PEAK_LIMIT_MIB} MiB", "met": peak <= PEAK_LIMIT_MIB,
            "peak_mib": peak, "notes": f"highest VmHWM of a launcher process over all figures ({where})"}


EXISTING_OVER_NEW_LIMIT = 1.15


def existing_over_new(figures):
    """The install over existing files against the install of the same bytes
    into a client without them, both measured in this run; None unless both were."""
    by_name = {f["name"]: f for f in figures}
    new, existing = by_name.get("install_1g_stored_new"), by_name.get("install_1g_stored_existing")
    if not new or not existing or not new["subject_s"]:
        return None
    ratio = existing["subject_s"] / new["subject_s"]
    return {"name": "install_1g_existing_over_new", "subject_s": existing["subject_s"],
            "baseline": "install_1g_stored_new", "baseline_s": new["subject_s"], "ratio": round(ratio, 3),
            "target": f"<= {EXISTING_OVER_NEW_LIMIT}x the same bytes installed new",
            "met": ratio <= EXISTING_OVER_NEW_LIMIT, "peak_mib": None, "measured": existing.get("measured"),
            "notes": "install_1g_stored_existing over install_1g_stored_new of the same run (what the "
                     "replaced files cost beyond their new bytes)"}


def print_table(figures, out=sys.stdout):
    def number(value, digits=2):
        return "-" if value is None else f"{value:.{digits}f}"

    header = f"{'figure':28} {'launcher s':>10} {'baseline':31} {'base s':>8} {'ratio':>6}  {'target':38} " \
             f"{'met':3} {'peak MiB':>8}"
    print(header, file=out)
    print("-" * len(header), file=out)
    for f in figures:
        met = "yes" if f["met"] else "NO"
        print(f"{f['name']:28} {number(f['subject_s'], 3):>10} {f['baseline'][:31]:31} "
              f"{number(f['baseline_s'], 3):>8} {number(f['ratio']):>6}  {f['target'][:38]:38} {met:3} "
              f"{number(f['peak_mib'], 1):>8}", file=out)
        for other in f.get("other_baselines", []):
            durable = "  durable_ratio: flushes what it writes" if other["baseline"] == f.get("durable_baseline") else ""
            print(f"{'':28} {'':>10} {other['baseline'][:31]:31} {number(other['baseline_s'], 3):>8} "
                  f"{number(other['ratio']):>6}{durable}", file=out)
        if "subject_cpu_pct" in f:
            print(f"{'':28} cpu: launcher {f['subject_cpu_pct']:.2f}% of a core, wine window "
                  f"{f['baseline_cpu_pct']:.2f}%, with the two timers {f.get('timers_window_cpu_pct', 0):.2f}%; "
                  f"{f.get('cpu_breakdown_s')}", file=out)
        if f.get("written_per_installed") is not None:
            print(f"{'':28} written to disk per byte installed: {f['written_per_installed']:.3f}", file=out)
        if "linearity" in f:
            print(f"{'':28} {f['linearity']}", file=out)


def add_linearity(figures):
    """30k/10k time of each small-file layout (3.0 means linear)."""
    by_name = {f["name"]: f for f in figures}
    for layout in ("spread", "one_folder"):
        low, high = by_name.get(f"small_10k_{layout}"), by_name.get(f"small_30k_{layout}")
        if low and high and low["subject_s"]:
            ratio = high["subject_s"] / low["subject_s"]
            high["linearity"] = f"3x the files took {ratio:.2f}x the time of {low['name']} (3.00 is linear)"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="tiny inputs, one round (the suite still runs)")
    parser.add_argument("--only", action="append", default=[], help="names or patterns, comma-separated")
    parser.add_argument("--reps", type=int, help="rounds of subject and baselines (default 3; --quick 1)")
    parser.add_argument("--build-dir", default=str(SOURCE_DIR / "build" / "win"), help="the Windows build tree")
    parser.add_argument("--out", help="results file (default bench/results.json; --quick: in the build tree)")
    parser.add_argument("--lock", help="flock this file while Launcher.exe or a stand-in server runs")
    parser.add_argument("--list", action="store_true", help="list the benchmark names and exit")
    args = parser.parse_args(argv)
    if args.list:
        print("\n".join(BENCHMARKS))
        return 0
    patterns = [p for group in args.only for p in group.split(",") if p]
    chosen = [n for n in BENCHMARKS if not patterns or any(fnmatch.fnmatch(n, p) for p in patterns)]
    if not chosen:
        parser.error(f"--only matches none of: {', '.join(BENCHMARKS)}")
    os.environ["ORVEX_BUILD_DIR"] = str(pathlib.Path(args.build_dir).absolute())
    os.environ.setdefault("ORVEX_SOURCE_DIR", str(SOURCE_DIR))
    sys.path.insert(0, str(SOURCE_DIR / "tests" / "e2e"))
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(name, None)

    suite = Suite(args)
    out = pathlib.Path(args.out) if args.out else (
        suite.build_dir / "bench-quick" / "results.json" if args.quick else SOURCE_DIR / "bench" / "results.json")
    figures, failed = [], []
    for name in chosen:
        print(f"{name}:", flush=True)
        started = time.monotonic()
        try:
            result = getattr(suite, f"bench_{name}")()
        except Exception as error:  # one broken benchmark must not hide the others' figures
            print(f"  FAILED: {error}", flush=True)
            failed.append(name)
            continue
        result["name"] = name  # the figure carries the benchmark's name at every scale
        result["measured"] = time.strftime("%Y-%m-%d %H:%M:%S")
        result["quick"] = args.quick
        figures.append(result)
        print(f"  {result['subject_s']:.3f} s against {result['baseline_s']:.3f} s "
              f"({time.monotonic() - started:.0f} s)", flush=True)

    derived = existing_over_new(figures)
    if derived:
        figures.append(derived)
    # A partial run replaces only its own figures in an earlier results file.
    if patterns and out.exists():
        earlier = [f for f in json.loads(out.read_text()) if f["name"] != "peak_memory"]
        names = {f["name"] for f in figures}
        figures = [f for f in earlier if f["name"] not in names] + figures
        figures.sort(key=lambda f: BENCHMARKS.index(f["name"]) if f["name"] in BENCHMARKS else len(BENCHMARKS))
    add_linearity(figures)
    peak = peak_figure(figures)
    if peak:
        figures.append(peak)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(figures, indent=1) + "\n")
    print()
    print_table(figures)
    print(f"\nwrote {out}")
    remove(suite.work)
    if failed:
        print(f"FAILED: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
