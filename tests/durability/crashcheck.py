"""Crash states of one operation on a client folder, from its real system calls.

A test that ends a process keeps the operating system's cache, so it says
nothing about flushes. Here the operation runs under strace on the Linux side
of Wine, attached both to the Windows program and to the prefix's wineserver,
which opens, renames and deletes files on the program's behalf. From the
recorded calls on the client folder, every state that a power cut could leave
is built, and the caller runs the real recovery on each.

The crash model (what one state is):
- The trace is cut after every event (every prefix of it), except within a run
  of writes with no other event between them (a large file being written):
  such a run is cut after its first, middle and last write only.
- Data: a write or truncation of a file survives only when a later fsync of the
  same file (started after the write ended, finished within the prefix) covers
  it. An uncovered write is zero-filled over its range with the file size kept
  ("zeroed"); for the state with every name operation applied, a variant that
  cuts each file back to its last covered content is added ("truncated").
  Besides, SAMPLES states per prefix keep each uncovered write or zero it,
  each one independently ("mixed"), with a random choice of the uncovered
  name operations (as below).
- Names: a create, mkdir, rename, unlink or rmdir is covered by a later fsync of
  the file it creates or moves, or of the directory it changes; what a covered
  operation needs (the mkdir of its folder, the create of the file it moves) is
  covered with it. Uncovered name operations may or may not have reached the
  disk, in any combination; enumerated are: all applied, none applied, and
  each one alone not applied (2 + n states per prefix), and, where there are
  three or more, SAMPLES random subsets of them (each one in or out
  independently). In a state, an operation whose source or folder is missing
  is skipped.
- The random choices come from a generator seeded with SEED for each
  recording, so a trace gives the same states on every run.
- A state cut after the last event is "done": what the operation reported
  done must be there whatever else is lost.
- The folder as it was before the operation counts as on disk. Identical
  states are kept once (hash of every path and content).
A trace that does not explain the folder the operation left is an error.
Files of BIG bytes or more are compared by the operations that made them, not
by their bytes, and written sparse.
"""
import dataclasses
import functools
import itertools
import hashlib
import os
import random
import pathlib
import re
import shutil
import signal
import subprocess
import tempfile
import time

STRACE_CALLS = ("open,openat,creat,read,readv,write,pwrite64,writev,pwritev,pwritev2,lseek,fsync,fdatasync,"
                "sync_file_range,fallocate,truncate,ftruncate,rename,renameat,renameat2,link,linkat,symlink,"
                "symlinkat,unlink,unlinkat,mkdir,mkdirat,rmdir,close,dup,dup2,dup3,fcntl,recvmsg,sendmsg,"
                "chdir,fchdir,clone,clone3,fork,vfork,copy_file_range,sendfile")


SEED = 1729
SAMPLES = 2
BIG = 1 << 20


class TraceError(RuntimeError):
    """The trace holds a call on the client folder that the model cannot follow."""


# ---------------------------------------------------------------- running

def wineserver_pid(prefix):
    """The running wineserver of a Wine prefix: its working directory is
    server-<device>-<inode> of the prefix folder."""
    info = os.stat(prefix)
    suffix = f"/server-{info.st_dev:x}-{info.st_ino:x}"
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if b"wineserver" in (entry / "cmdline").read_bytes() and os.readlink(entry / "cwd").endswith(suffix):
                return int(entry.name)
        except OSError:
            continue
    raise RuntimeError(f"no wineserver runs for {prefix}")


def run_traced(command, env, work, timeout=180):
    """Runs command (a list starting with the Windows program) under Wine and
    strace; returns (exit code, standard output, trace file). The wineserver is
    traced from before the program starts until shortly after it has ended."""
    work = pathlib.Path(work)
    work.mkdir(parents=True, exist_ok=True)
    trace, done = work / "trace.txt", work / "program.rc"
    done.unlink(missing_ok=True)
    server = wineserver_pid(env["WINEPREFIX"])
    # The shell notes the program's end: strace itself keeps tracing the
    # server, which never ends, until it is interrupted (-I 1 lets it be).
    shell = 'wine "$@" >"$0.out" 2>/dev/null; echo $? >"$0.rc"'
    strace = subprocess.Popen(
        ["strace", "-I", "1", "-f", "-qq", "-yy", "-xx", "-s", "33554432", "-e", "trace=" + STRACE_CALLS,
         "-e", "raw=read,readv", "-o", str(trace), "-p", str(server), "--", "sh", "-c", shell, str(work / "program"),
         *map(str, command)], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE)
    deadline = time.monotonic() + timeout
    try:
        while not done.exists() or not done.read_text().strip():
            if strace.poll() is not None:
                raise RuntimeError("strace ended early: " + strace.stderr.read().decode(errors="replace"))
            if time.monotonic() > deadline:
                raise RuntimeError(f"traced program did not end within {timeout} s")
            time.sleep(0.05)
        # Handles closed at the program's exit are closed by the server a moment later.
        time.sleep(0.5)
    finally:
        if strace.poll() is None:
            strace.send_signal(signal.SIGINT)
            try:
                strace.wait(20)
            except subprocess.TimeoutExpired:
                strace.kill()
                strace.wait()
    output = (work / "program.out").read_bytes().decode("utf-8", "replace")
    return int(done.read_text()), output, trace


# ---------------------------------------------------------------- trace lines

_CALL = re.compile(r"^(\w+)\((.*)\)\s+=\s+(-?\d+|0x[0-9a-f]+|\?)(<[^>]*>)?(.*)$", re.S)
_HEXSTR = re.compile(r'"((?:\\x[0-9a-f]{2})*)"(\.\.\.)?')
_FD = re.compile(r"^(-?\d+|0x[0-9a-f]+|AT_FDCWD)(?:<((?:\\x[0-9a-f]{2})*)(?:<[^>]*>)?>|<.*>)?(\(deleted\))?$")


def _hex(text):
    return bytes.fromhex(text.replace("\\x", ""))


def _split_args(text):
    """Top-level arguments of one call; strings are hex only, so no quoted comma."""
    parts, depth, start = [], 0, 0
    for i, c in enumerate(text):
        if c in "[{(":
            depth += 1
        elif c in "]})":
            depth -= 1
        elif c == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text.strip():
        parts.append(text[start:].strip())
    return parts


def _fd(arg):
    """(number or None for AT_FDCWD, decoded path annotation or None)."""
    match = _FD.match(arg)
    if not match:
        raise TraceError(f"unexpected descriptor argument {arg[:80]}")
    number = None if match.group(1) == "AT_FDCWD" else int(match.group(1), 0)
    return number, (_hex(match.group(2)).decode("utf-8", "surrogateescape") if match.group(2) is not None else None)


def _passed_fds(args):
    """The descriptors of every SCM_RIGHTS message in a sendmsg/recvmsg."""
    fds, start = [], 0
    while (start := args.find("cmsg_data=[", start)) >= 0:
        depth, i = 0, start + len("cmsg_data=")
        for i in range(i, len(args)):
            depth += {"[": 1, "]": -1}.get(args[i], 0)
            if depth == 0:
                break
        fds += _split_args(args[start + len("cmsg_data=["):i])
        start = i
    return fds


def _string(arg):
    match = _HEXSTR.fullmatch(arg)
    if not match:
        raise TraceError(f"unexpected string argument {arg[:80]}")
    if match.group(2):
        raise TraceError("strace cut a string short; raise -s")
    return _hex(match.group(1))


def read_calls(trace):
    """(tid, name, arguments, result, result annotation, entry number) of every
    finished call in completion order. The entry number counts the calls that
    had finished when this one started (a split call starts at its
    "unfinished" line)."""
    pending, finished = {}, 0
    with open(trace, encoding="ascii", errors="replace") as lines:
        for raw in lines:
            tid_text, _, rest = raw.rstrip("\n").partition(" ")
            if not tid_text.isdigit():
                continue
            tid, rest = int(tid_text), rest.lstrip()
            if rest.startswith(("---", "+++")):
                continue
            if rest.endswith("<unfinished ...>"):
                pending[tid] = (rest[:-len("<unfinished ...>")].rstrip(), finished)
                continue
            entry = finished
            if rest.startswith("<..."):
                head, _, tail = rest.partition(" resumed>")
                start, entry = pending.pop(tid, (head[5:].strip() + "(", finished))
                rest = start + tail
            match = _CALL.match(rest)
            if not match:
                continue  # a call that never returned (the process ended in it)
            name, args, result, annotation, _ = match.groups()
            if result == "?":
                continue
            yield tid, name, args, int(result, 0), annotation, entry
            finished += 1


# ---------------------------------------------------------------- events

@dataclasses.dataclass
class Event:
    index: int
    kind: str  # write, trunc, sync, create, mkdir, rename, unlink, rmdir
    ino: int  # the file written, synced, created, moved or removed
    path: str = ""  # client-relative destination (or the removed/created path)
    source: str = ""  # rename: client-relative source
    offset: int = 0
    data: bytes = b""  # write: bytes
    size: int = 0  # trunc: new size
    start: int = 0  # sync: number of events finished when the sync began
    dirs: tuple = ()  # name operations: the directories whose entries change
    needs: tuple = ()  # name operations: earlier name operations this one needs

    def describe(self):
        if self.kind == "write":
            return f"write {self.path} [{self.offset}, +{len(self.data)})"
        if self.kind == "trunc":
            return f"truncate {self.path} to {self.size}"
        if self.kind == "sync":
            return f"fsync {self.path}"
        if self.kind == "rename":
            return f"rename {self.source} -> {self.path}"
        return f"{self.kind} {self.path}"


class _Node:
    __slots__ = ("ino", "entries")

    def __init__(self, ino, directory):
        self.ino = ino
        self.entries = {} if directory else None


class _Namespace:
    """Names of the client folder: directories map names to inode numbers."""

    def __init__(self):
        self.nodes = {0: _Node(0, True)}
        self.placed = {}  # (directory ino, name) -> index of the event that put the entry there

    def copy(self):
        other = _Namespace()
        other.nodes = {ino: _Node(ino, node.entries is not None) for ino, node in self.nodes.items()}
        for ino, node in self.nodes.items():
            if node.entries is not None:
                other.nodes[ino].entries = dict(node.entries)
        other.placed = dict(self.placed)
        return other

    def lookup(self, path):
        ino = 0
        for part in _parts(path):
            node = self.nodes.get(ino)
            if node is None or node.entries is None or part not in node.entries:
                return None
            ino = node.entries[part]
        return ino

    def parent(self, path):
        """(directory ino or None, last name)."""
        parts = _parts(path)
        return self.lookup("/".join(parts[:-1])), parts[-1]

    def chain(self, path):
        """The events that placed each existing folder on the way to path."""
        needs, ino = [], 0
        for part in _parts(path)[:-1]:
            node = self.nodes.get(ino)
            if node is None or node.entries is None or part not in node.entries:
                break
            if (ino, part) in self.placed:
                needs.append(self.placed[(ino, part)])
            ino = node.entries[part]
        return needs

    def is_dir(self, ino):
        return ino in self.nodes and self.nodes[ino].entries is not None

    def link(self, path, ino, directory, index):
        parent, name = self.parent(path)
        if parent is None or not self.is_dir(parent) or name in self.nodes[parent].entries:
            return False
        self.nodes.setdefault(ino, _Node(ino, directory))
        self.nodes[parent].entries[name] = ino
        self.placed[(parent, name)] = index
        return True

    def remove(self, path, directory):
        parent, name = self.parent(path)
        if parent is None or not self.is_dir(parent) or name not in self.nodes[parent].entries:
            return False
        ino = self.nodes[parent].entries[name]
        if self.is_dir(ino) != directory or (directory and self.nodes[ino].entries):
            return False
        del self.nodes[parent].entries[name]
        self.placed.pop((parent, name), None)
        return True

    def rename(self, source, target, index):
        sparent, sname = self.parent(source)
        tparent, tname = self.parent(target)
        if None in (sparent, tparent) or not self.is_dir(sparent) or not self.is_dir(tparent):
            return False
        if sname not in self.nodes[sparent].entries:
            return False
        ino = self.nodes[sparent].entries[sname]
        replaced = self.nodes[tparent].entries.get(tname)
        if replaced is not None and replaced != ino and (self.is_dir(replaced) or self.is_dir(ino)):
            return False
        del self.nodes[sparent].entries[sname]
        self.placed.pop((sparent, sname), None)
        self.nodes[tparent].entries[tname] = ino
        self.placed[(tparent, tname)] = index
        return True

    def walk(self, ino=0, prefix=""):
        """(relative path, ino, is directory) of everything below ino."""
        for name, child in sorted(self.nodes[ino].entries.items()):
            path = f"{prefix}{name}"
            yield path, child, self.is_dir(child)
            if self.is_dir(child):
                yield from self.walk(child, path + "/")


def _parts(path):
    return [part for part in path.split("/") if part]


class _Description:
    __slots__ = ("ino", "offset")

    def __init__(self, ino):
        self.ino = ino
        self.offset = 0


class Recording:
    """The client folder before the operation and the events on it."""

    def __init__(self, client, events, initial, namespace):
        self.client = client
        self.events = events
        self.initial = initial  # ino -> bytes for the files that existed before
        self.namespace = namespace  # the names before the operation


def record(client, prefix, run):
    """Snapshots the client folder, calls run() (which must return the trace
    file of the operation) and turns the trace into a Recording. prefix is
    the Wine prefix whose server was traced."""
    client = pathlib.Path(client).resolve()
    namespace, initial, next_ino = _Namespace(), {}, [1]

    def scan(folder, ino):
        for entry in sorted(folder.iterdir()):
            child = next_ino[0]
            next_ino[0] += 1
            directory = entry.is_dir() and not entry.is_symlink()
            namespace.nodes[child] = _Node(child, directory)
            namespace.nodes[ino].entries[entry.name] = child
            if directory:
                scan(entry, child)
            else:
                initial[child] = entry.read_bytes()

    scan(client, 0)
    before = namespace.copy()
    server = wineserver_pid(prefix)
    # Working folders for calls with relative names: the server's own, and
    # this process's for the program, which inherits it.
    folders = {server: os.readlink(f"/proc/{server}/cwd"), None: os.getcwd()}
    trace = run()
    parser = _Parser(client, pathlib.Path(prefix), namespace, next_ino[0], server, folders)
    recording = parser.parse(trace, before, initial)
    # The trace must explain the folder the operation left: a call the parser
    # missed or misplaced would otherwise quietly drop crash states.
    modelled = CrashStates(recording).final()
    on_disk = {}
    for path in sorted(client.rglob("*")):
        relative = path.relative_to(client).as_posix()
        on_disk[relative] = None if path.is_dir() and not path.is_symlink() else path.read_bytes()
    wrong = sorted(p for p in modelled.keys() | on_disk.keys() if modelled.get(p, b"?") != on_disk.get(p, b"?"))
    if wrong:
        raise TraceError("the trace does not explain the folder the operation left: " + ", ".join(wrong[:10]))
    return recording


class _Parser:
    def __init__(self, client, prefix, namespace, next_ino, server, folders):
        self.client = str(client)
        self.server = server
        self.folders = {tid: [folder] for tid, folder in folders.items()}  # tid -> [working folder], shared
        self.dosdevices = prefix / "dosdevices"
        self.names = namespace
        self.next_ino = next_ino
        self.events = []
        self.tables = {}  # tid -> {fd: _Description or None}
        self.family = {}  # child tid -> (parent tid, shares the descriptor table, shares the working folder)
        self.in_flight = []  # descriptions sent by the server, not yet received
        self.events_after = []  # events recorded when k calls had finished

    # -- paths

    def relative(self, path):
        """Client-relative form of an absolute Linux path, or None outside."""
        match = re.match(r"^(.*/dosdevices/[a-z]:)(/.*)?$", path)
        if match:
            path = os.path.realpath(match.group(1)) + "/" + (match.group(2) or "")
        path = os.path.normpath(path)
        if path == self.client:
            return ""
        if path.startswith(self.client + "/"):
            return path[len(self.client) + 1:]
        return None

    def at(self, tid, dirfd_arg, path_arg):
        """The client-relative name of a path argument; dirfd_arg None: the
        working folder."""
        path = _string(path_arg).decode("utf-8", "surrogateescape")
        if not path.startswith("/"):
            base = self.folder(tid)[0] if dirfd_arg is None else _fd(dirfd_arg)[1]
            if base is None:
                raise TraceError(f"relative path {path} without a known folder")
            path = base + "/" + path
        return self.relative(path)

    def folder(self, tid):
        if tid not in self.folders:
            parent, _, shares = self.family.get(tid, (None, False, False))
            inherited = self.folder(parent) if parent in self.folders or parent in self.family else self.folders[None]
            self.folders[tid] = inherited if shares else [inherited[0]]
        return self.folders[tid]

    # -- descriptor tables

    def table(self, tid):
        if tid not in self.tables:
            parent, shares, _ = self.family.get(tid, (None, False, False))
            if parent is not None and parent in self.tables:
                self.tables[tid] = self.tables[parent] if shares else dict(self.tables[parent])
            else:
                self.tables[tid] = {}
        return self.tables[tid]

    def description(self, tid, arg):
        number, path = _fd(arg)
        found = self.table(tid).get(number)
        if found is not None:
            return found
        if path is not None:
            relative = self.relative(path)
            if relative is not None and not arg.endswith("(deleted)"):
                ino = self.names.lookup(relative)
                if ino is not None:
                    found = _Description(ino)
                    self.table(tid)[number] = found
                    return found
        return None

    def path_of(self, ino):
        for path, child, _ in self.names.walk():
            if child == ino:
                return path
        return f"(unnamed file {ino})"

    # -- events

    def add(self, kind, ino, **fields):
        event = Event(len(self.events), kind, ino, **fields)
        if kind in ("write", "trunc", "sync") and not event.path:
            event.path = self.path_of(ino)
        self.events.append(event)
        return event

    def name_event(self, kind, ino, path, source="", extra_dirs=()):
        parent, _ = self.names.parent(path)
        needs = self.names.chain(path)
        dirs = [parent]
        if source:
            sparent, sname = self.names.parent(source)
            dirs.append(sparent)
            needs += self.names.chain(source)
            if (sparent, sname) in self.names.placed:
                needs.append(self.names.placed[(sparent, sname)])
        if kind in ("unlink", "rmdir") and (parent, path.rsplit("/", 1)[-1]) in self.names.placed:
            needs.append(self.names.placed[(parent, path.rsplit("/", 1)[-1])])
        return self.add(kind, ino, path=path, source=source, dirs=tuple(d for d in dirs if d is not None),
                        needs=tuple(sorted(set(needs))))

    def parse(self, trace, before, initial):
        calls = list(read_calls(trace))
        for tid, name, args, result, _, _ in calls:
            if name in ("clone", "clone3", "fork", "vfork") and result > 0:
                threads = name in ("clone", "clone3")
                self.family[result] = (tid, threads and "CLONE_FILES" in args, threads and "CLONE_FS" in args)
        for call in calls:
            self.events_after.append(len(self.events))
            self.handle(*call)
        return Recording(self.client, self.events, initial, before)

    def handle(self, tid, name, args, result, _annotation, entry):
        if result < 0:
            return
        a = _split_args(args)
        if name in ("open", "openat", "creat"):
            if name == "openat":
                path, flags = self.at(tid, a[0], a[1]), a[2]
            else:
                path, flags = self.at(tid, None, a[0]), ("O_CREAT|O_WRONLY|O_TRUNC" if name == "creat" else a[1])
            self.table(tid).pop(result, None)
            if path is None:
                return
            ino = self.names.lookup(path)
            if ino is None and "O_CREAT" in flags:
                ino = self.next_ino
                self.next_ino += 1
                self.name_event("create", ino, path)
                self.names.link(path, ino, False, len(self.events) - 1)
            if ino is None:
                return
            description = _Description(ino)
            self.table(tid)[result] = description
            if "O_TRUNC" in flags and not self.names.is_dir(ino):
                self.add("trunc", ino, size=0)
        elif name == "chdir":
            folder = _string(a[0]).decode("utf-8", "surrogateescape")
            self.folder(tid)[0] = os.path.normpath(os.path.join(self.folder(tid)[0], folder))
        elif name == "fchdir":
            self.folder(tid)[0] = _fd(a[0])[1]
        elif name in ("close",):
            number, _ = _fd(a[0])
            self.table(tid).pop(number, None)
        elif name in ("dup", "dup2", "dup3") or (name == "fcntl" and a[1].startswith("F_DUPFD")):
            source = self.description(tid, a[0])
            self.table(tid)[result] = source
        elif name == "sendmsg" and "SCM_RIGHTS" in args and tid == self.server:
            # The server passes the descriptor of every file it opens to the
            # program; the program's copy shares the file position. Sends to
            # processes that are not traced are never received here, so a
            # receive is matched to the oldest send of the same file.
            for fd in _passed_fds(args):
                self.in_flight.append((_fd(fd)[1], self.description(tid, fd)))
        elif name == "recvmsg" and "SCM_RIGHTS" in args and tid != self.server:
            for fd in _passed_fds(args):
                received, path = _fd(fd)
                match = next((i for i, (sent_path, _) in enumerate(self.in_flight) if sent_path == path), None)
                sent = self.in_flight.pop(match)[1] if match is not None else None
                self.table(tid).pop(received, None)
                self.table(tid)[received] = sent if sent is not None else self.description(tid, fd)
        elif name in ("read", "readv"):
            found = self.table(tid).get(_fd(a[0])[0])
            if found is not None:
                found.offset += result
        elif name == "lseek":
            found = self.description(tid, a[0])
            if found is not None and result >= 0:
                found.offset = result
        elif name in ("write", "writev", "pwrite64", "pwritev", "pwritev2"):
            found = self.description(tid, a[0])
            if found is None or result == 0:
                return
            if name in ("write", "pwrite64"):
                data = _string(a[1])
            else:
                data = b"".join(_string(m.group(0)) for m in _HEXSTR.finditer(a[1]))
            data = data[:result]
            positioned = name.startswith("pwrite")
            offset = int(a[3] if name == "pwrite64" else a[-2 if name == "pwritev2" else -1], 0) if positioned \
                else found.offset
            self.add("write", found.ino, offset=offset, data=data)
            if not positioned:
                found.offset = offset + len(data)
        elif name in ("ftruncate", "truncate"):
            if name == "ftruncate":
                found = self.description(tid, a[0])
                ino = found.ino if found else None
            else:
                relative = self.at(tid, None, a[0])
                ino = self.names.lookup(relative) if relative is not None else None
            if ino is not None:
                self.add("trunc", ino, size=int(a[1], 0))
        elif name == "fallocate":
            if self.description(tid, a[0]) is not None and "KEEP_SIZE" not in a[1]:
                raise TraceError("fallocate that grows a client file is not modelled")
        elif name in ("fsync", "fdatasync", "sync_file_range"):
            found = self.description(tid, a[0])
            if found is not None and name != "sync_file_range":
                self.add("sync", found.ino, start=self.events_after[entry])
        elif name in ("mkdir", "mkdirat"):
            path = self.at(tid, a[0], a[1]) if name == "mkdirat" else self.at(tid, None, a[0])
            if path is None:
                return
            ino = self.next_ino
            self.next_ino += 1
            self.name_event("mkdir", ino, path)
            self.names.link(path, ino, True, len(self.events) - 1)
        elif name in ("unlink", "unlinkat", "rmdir"):
            path = self.at(tid, a[0], a[1]) if name == "unlinkat" else self.at(tid, None, a[0])
            if path is None:
                return
            directory = name == "rmdir" or (name == "unlinkat" and "AT_REMOVEDIR" in a[2])
            ino = self.names.lookup(path)
            self.name_event("rmdir" if directory else "unlink", ino, path)
            self.names.remove(path, directory)
        elif name in ("rename", "renameat", "renameat2"):
            if name == "rename":
                source, target = self.at(tid, None, a[0]), self.at(tid, None, a[1])
            else:
                source, target = self.at(tid, a[0], a[1]), self.at(tid, a[2], a[3])
            if source is None and target is None:
                return
            if source is None or target is None:
                raise TraceError(f"rename across the client folder's edge: {a[0]} {a[1]}")
            ino = self.names.lookup(source)
            self.name_event("rename", ino, target, source=source)
            self.names.rename(source, target, len(self.events) - 1)
        elif name in ("link", "linkat", "symlink", "symlinkat", "copy_file_range", "sendfile"):
            paths = [self.at(tid, None, x) for x in a if x.startswith('"')]
            fds = [self.description(tid, x) for x in a if re.match(r"^\d+<", x)]
            if any(p is not None for p in paths) or any(fds):
                raise TraceError(f"{name} on the client folder is not modelled")



# ---------------------------------------------------------------- crash states

NAME_KINDS = ("create", "mkdir", "rename", "unlink", "rmdir")


@dataclasses.dataclass
class State:
    cut: int  # events that happened before the power cut
    names: str  # which uncovered name operations reached the disk
    data: object  # "zeroed", "truncated" or the uncovered writes kept (a frozenset of event numbers)
    dropped: tuple  # files that lost uncovered writes
    files: dict  # relative path -> the content arguments, or None for a folder

    def describe(self, events):
        def named(text):
            return re.sub(r"#(\d+)", lambda m: f"#{m.group(1)} ({events[int(m.group(1))].describe()})", text)
        last = f"after #{self.cut - 1} {events[self.cut - 1].describe()}" if self.cut else "before the first event"
        if isinstance(self.data, frozenset):
            kept = ", ".join(f"#{i}" for i in sorted(self.data)) or "none"
            data = f"mixed, kept {named(kept)}"
        else:
            data = self.data
        dropped = f"; unflushed data {data}: {', '.join(self.dropped)}" if self.dropped else ""
        return f"power cut {last}; uncovered name operations: {named(self.names)}{dropped}"


class CrashStates:
    """Every state of the crash model for one Recording, each once."""

    def __init__(self, recording):
        self.rec = recording
        self.events = recording.events
        self.data_ops = {}
        for event in self.events:
            if event.kind in ("write", "trunc"):
                self.data_ops.setdefault(event.ino, []).append(event)
        # The cuts left out within runs of writes.
        self.thinned, start = set(), None
        for index, event in enumerate([*self.events, None]):
            if event is not None and event.kind == "write":
                start = index if start is None else start
                continue
            if start is not None:
                last = index - 1
                self.thinned |= set(range(start + 1, last + 2)) - {start + 1, (start + last) // 2 + 1, last + 1}
            start = None

    @functools.lru_cache(maxsize=32)
    def content(self, ino, applied, covered, variant):
        """Bytes of a file whose first `applied` data operations happened and
        whose first `covered` of those are on disk; of the others, variant
        keeps the writes it holds (a frozenset of event numbers), or none."""
        data = bytearray(self.rec.initial.get(ino, b""))
        kept = variant if isinstance(variant, frozenset) else frozenset()
        for position, event in enumerate(self.data_ops.get(ino, [])[:covered if variant == "truncated" else applied]):
            durable = position < covered or event.index in kept
            if event.kind == "trunc":
                del data[event.size:]
                data.extend(b"\0" * (event.size - len(data)))
            else:
                end = event.offset + len(event.data)
                data.extend(b"\0" * max(0, end - len(data)))
                data[event.offset:end] = event.data if durable else b"\0" * len(event.data)
        return bytes(data)

    @functools.lru_cache(maxsize=None)
    def digest(self, ino, applied, covered, variant):
        """What tells this content apart: its hash, or for a big file the
        arguments that make it."""
        if self.big(ino):
            return (ino, applied, covered, variant)
        return hashlib.sha256(self.content(ino, applied, covered, variant)).hexdigest()

    @functools.lru_cache(maxsize=None)
    def big(self, ino):
        size = len(self.rec.initial.get(ino, b""))
        for event in self.data_ops.get(ino, []):
            size = max(size, event.offset + len(event.data)) if event.kind == "write" else max(size, event.size)
        return size >= BIG

    def _prefixes(self):
        """(cut, name operations so far, the covered ones, file -> events
        its fsyncs cover) of every prefix, in order; the containers are
        updated in place from one prefix to the next."""
        covered_names, synced_until, names_so_far = set(), {}, []
        for cut in range(len(self.events) + 1):
            if cut:
                event = self.events[cut - 1]
                if event.kind in NAME_KINDS:
                    names_so_far.append(event)
                elif event.kind == "sync":
                    synced_until[event.ino] = max(synced_until.get(event.ino, 0), event.start)
                    self._cover(event, names_so_far, covered_names)
            if cut not in self.thinned:
                yield cut, names_so_far, covered_names, synced_until

    def generate(self, spread=False):
        """Yields (key, State) for every distinct state; key is its hash.
        The prefixes come in order, or with spread the whole one first and the
        others spread over the trace (each next one halfway between two
        taken), so that a wrong stretch of the trace shows early."""
        prefixes = self._prefixes()
        if spread:
            copied = [(cut, list(names), set(covered), dict(synced)) for cut, names, covered, synced in prefixes]
            bits = max(1, len(copied).bit_length())
            order = sorted(range(len(copied) - 1), key=lambda i: int(format(i, f"0{bits}b")[::-1], 2))
            prefixes = (copied[i] for i in [len(copied) - 1, *order])
        seen = set()
        chance = random.Random(SEED)
        for cut, names_so_far, covered_names, synced_until in prefixes:
            uncovered = [e.index for e in names_so_far if e.index not in covered_names]
            every = {e.index for e in names_so_far}
            variants = [("all applied", every, ("zeroed", "truncated"))]
            if uncovered:
                variants.append(("none applied", set(covered_names), ("zeroed",)))
                for index in uncovered:
                    variants.append((f"all but #{index} applied", every - {index}, ("zeroed",)))
            if len(uncovered) >= 3:
                for _ in range(SAMPLES):
                    picked = sorted(i for i in uncovered if chance.random() < 0.5)
                    label = f"only {', '.join(f'#{i}' for i in picked) or 'none'} applied"
                    variants.append((label, covered_names | set(picked), ("zeroed",)))
            unflushed = [e.index for e in self.events[:cut] if e.kind == "write" and e.index >= synced_until.get(e.ino, 0)]
            for _ in range(SAMPLES if unflushed else 0):
                picked = sorted(i for i in uncovered if chance.random() < 0.5)
                kept = frozenset(i for i in unflushed if chance.random() < 0.5)
                label = "all applied" if len(picked) == len(uncovered) else \
                    f"only {', '.join(f'#{i}' for i in picked) or 'none'} applied"
                variants.append((label, covered_names | set(picked), (kept,)))
            for label, applied, data_variants in variants:
                namespace = self._names(cut, applied)
                for variant in data_variants:
                    state = self._state(cut, label, namespace, synced_until, variant)
                    if state is None:
                        continue
                    key, state = state
                    if key not in seen:
                        seen.add(key)
                        yield key, state

    def _cover(self, sync, names_so_far, covered):
        """Marks the name operations that this fsync makes durable, with what they need."""
        by_index = {e.index: e for e in names_so_far}
        todo = [e.index for e in names_so_far
                if e.index < sync.start and e.index not in covered and
                ((e.kind in ("create", "mkdir", "rename") and e.ino == sync.ino) or sync.ino in e.dirs)]
        while todo:
            index = todo.pop()
            if index in covered:
                continue
            covered.add(index)
            todo.extend(need for need in by_index[index].needs if need not in covered)

    def _names(self, cut, applied):
        namespace = self.rec.namespace.copy()
        for event in self.events[:cut]:
            if event.kind not in NAME_KINDS or event.index not in applied:
                continue
            if event.kind in ("create", "mkdir"):
                namespace.link(event.path, event.ino, event.kind == "mkdir", event.index)
            elif event.kind == "rename":
                namespace.rename(event.source, event.path, event.index)
            else:
                namespace.remove(event.path, event.kind == "rmdir")
        return namespace

    def _state(self, cut, label, namespace, synced_until, variant):
        entries, files, dropped = [], {}, []
        for path, ino, directory in namespace.walk():
            if directory:
                entries.append((path, "dir"))
                files[path] = None
                continue
            ops = self.data_ops.get(ino, [])
            applied = sum(1 for e in ops if e.index < cut)
            covered = sum(1 for e in ops[:applied] if e.index < synced_until.get(ino, 0))
            if covered < applied:
                dropped.append(path)
            if isinstance(variant, frozenset):
                # Only this file's writes, so that equal contents share a key.
                own = frozenset(e.index for e in ops[covered:applied] if e.index in variant)
                entries.append((path, self.digest(ino, applied, covered, own)))
                files[path] = (ino, applied, covered, own)
            else:
                entries.append((path, self.digest(ino, applied, covered, variant)))
                files[path] = (ino, applied, covered, variant)
        if variant == "truncated" and not dropped:
            return None  # the same as the zeroed state
        key = hashlib.sha256(repr(entries).encode()).hexdigest()
        return key, State(cut, label, variant, tuple(dropped), files)

    def final(self):
        """Relative path -> bytes (None for a folder) once every event happened."""
        every = {e.index for e in self.events if e.kind in NAME_KINDS}
        files = {}
        for path, ino, directory in self._names(len(self.events), every).walk():
            ops = len(self.data_ops.get(ino, []))
            files[path] = None if directory else self.content(ino, ops, ops, "zeroed")
        return files

    def materialise(self, state, folder):
        folder = pathlib.Path(folder)
        folder.mkdir(parents=True)
        for path, content_ref in state.files.items():
            target = folder / path
            if content_ref is None:
                target.mkdir(exist_ok=True)
            else:
                target.parent.mkdir(parents=True, exist_ok=True)
                data = self.content(*content_ref)
                if len(data) < BIG:
                    target.write_bytes(data)
                    continue
                with open(target, "wb") as out:  # sparse: only blocks that are not all zeros
                    block, zeros = 65536, bytes(65536)
                    for offset in range(0, len(data), block):
                        piece = data[offset:offset + block]
                        if piece != zeros[:len(piece)]:
                            out.seek(offset)
                            out.write(piece)
                    out.truncate(len(data))
        return folder


def remove_tree(folder):
    shutil.rmtree(folder, ignore_errors=True)


# ---------------------------------------------------------------- sweep

def flushless_environment(env, work):
    """env for the recovery runs on crash states, with fsync made a no-op
    through LD_PRELOAD when a C compiler is at hand: those runs are checked
    for their result, not for their own durability (the recovery's own power
    cuts are a scenario of their own), and thousands of real flushes would
    take minutes on a busy disk."""
    shim = pathlib.Path(work) / "no-fsync.so"
    if not shim.exists():
        source = shim.with_suffix(".c")
        source.write_text("int fsync(int fd) { (void)fd; return 0; }\n"
                          "int fdatasync(int fd) { (void)fd; return 0; }\n")
        compiler = shutil.which("cc") or shutil.which("clang") or shutil.which("gcc")
        if compiler is None or subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", str(shim), str(source)],
                                              capture_output=True).returncode != 0:
            return env
    return {**env, "LD_PRELOAD": str(shim)}


def sweep(recording, work, check, recover=None, first_failure=False, chunk=400):
    """Builds every crash state of recording under work, runs recover (given
    the list of state folders, it returns one result line per folder; None
    when the state is checked as the power cut left it) and check(folder,
    line, done), which returns None or why the state is wrong; done tells a
    power cut after the operation's last event. The states are built,
    recovered and checked a chunk at a time; with first_failure they come
    spread over the trace, in smaller chunks, and the sweep ends after the
    first chunk with a wrong state. Returns the number of states built and the
    failures as (state description, reason)."""
    states = CrashStates(recording)
    generated = states.generate(spread=first_failure)
    if first_failure:
        chunk = min(chunk, 100)
    count, failures = 0, []
    while not (first_failure and failures):
        batch = [state for _, state in itertools.islice(generated, chunk)]
        if not batch:
            break
        root = pathlib.Path(tempfile.mkdtemp(prefix="crash-states-", dir=work))
        try:
            folders = [states.materialise(state, root / f"{count + number:05d}" / "client")
                       for number, state in enumerate(batch)]
            lines = recover(folders) if recover else [None] * len(folders)
            done = len(recording.events)
            failures += [(state.describe(recording.events), reason) for folder, line, state in zip(folders, lines, batch)
                         if (reason := check(folder, line, state.cut == done)) is not None]
        finally:
            remove_tree(root)
        count += len(batch)
    return count, failures


def report(failures, limit=3):
    """The failures grouped by reason, with the first states of each."""
    groups = {}
    for text, reason in failures:
        groups.setdefault(reason, []).append(text)
    lines = []
    for reason, texts in groups.items():
        lines.append(f"{len(texts)} state(s): {reason}")
        lines += [f"    {text}" for text in texts[:limit]]
    return "\n".join(lines)
