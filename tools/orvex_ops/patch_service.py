#!/usr/bin/env python3
"""ORVEX patch and repair service: a WSGI application for release folders.

It serves the folders that `orvex-publish release --out RELEASES` writes
(RELEASES/<version>/...) to the launcher, under both "/orvex-patch/" (the CDN
path) and "/patch/" (the fallback endpoint's path):

  GET|HEAD <prefix>NAME        a published file of one version: N.manifest,
                               N.manifest.sig, N.zip, metadata-v4-N.manifest,
                               .sig, .zip (NAME names its version); HTTP/1.1
                               single byte ranges (206, 416), ETag, If-Range
  POST <prefix>repair-batch-v4.php
                               a segment of the requested repair objects,
                               concatenated in catalogue order, streamed from
                               RELEASES/<version>/objects; 409 when the
                               catalogue digest is not the version's
  GET|HEAD /healthz            200 and the versions served, 503 when no
                               release folder is readable (405 otherwise)

Every request is one JSON line in the log (--log, default standard error):
"remote" is the player's address (taken from X-Forwarded-For only when the
connection comes from the front: loopback, or the --forwarded-from addresses;
"via" then names the front), "path" the decoded path and "raw" the target as
the request line carried it. "error" says why a request was refused; a 500
tells the client nothing more than "internal error", the log line keeps the
reason and, for an unexpected failure, the traceback. A streamed answer is
logged once the server is done with it: "bytes" is what was really sent, and
an answer cut short (a damaged object, a client gone) carries "cut": true,
the "expected" length and an "error". The log file is reopened on SIGUSR1
(gunicorn's signal to reopen logs, sent on to every worker), so logrotate
renames it and signals the master. Nothing is kept between
requests but what is read from the immutable release folders (catalogues are
cached per process, keyed by their file's identity), so any number of
instances on any number of machines can serve the same folders.

`orvex-patch-service` runs the application under gunicorn (Debian package
gunicorn) with threaded workers and, with --certfile/--keyfile, gunicorn's own
TLS. Examples:

  orvex-patch-service --releases /srv/orvex/releases --bind 0.0.0.0:5444 \\
      --certfile cdn-cert.pem --keyfile cdn-key.pem --workers 4
  orvex-patch-service --releases /srv/orvex/releases --bind 127.0.0.1:8080   # behind a TLS terminator
  orvex-patch-service --releases /srv/orvex/releases --bind 10.0.0.21:5444 --forwarded-from 10.0.0.5
      # behind the front on another machine (10.0.0.5), which names the player in X-Forwarded-For
  gunicorn 'orvex_ops.patch_service:create_app(releases="/srv/orvex/releases")'
"""
import argparse
import bisect
import collections
import hashlib
import ipaddress
import json
import logging
import os
import pathlib
import re
import sys
import threading
import time
import traceback

PREFIXES = ("/orvex-patch/", "/patch/")
REPAIR_NAME = "repair-batch-v4.php"
HEALTH_PATH = "/healthz"
# Asked by the nginx front for /healthz: names a file nginx reads itself.
HEALTH_PROBE_PATH = "/healthz/probe"
HEALTH_PROBE_FILES = "/orvex-health-file/"
CHUNK = 256 * 1024
# The launcher's largest repair body: six lines around a bitmap over at most
# 30000 + 4096 manifest entries and the two manifests (4263 bytes, 8526
# hexadecimal characters); anything far beyond is not a launcher.
MAX_REPAIR_BODY = 16384
MAX_SEGMENT = 128 * 1024 * 1024
MAX_REPAIR_TOTAL = 8 * 1024 ** 3
MAX_VERSION = 32767
CATALOGUE_CACHE = 64
# Where the front may connect from by default: the same machine.
LOOPBACK = (ipaddress.ip_network("127.0.0.0/8"), ipaddress.ip_network("::1/128"))

PUBLISHED_NAME = re.compile(r"(?:metadata-v4-)?([1-9][0-9]{0,4})\.(?:manifest|manifest\.sig|zip)")
VERSION = re.compile(r"[1-9][0-9]{0,4}")
DIGEST = re.compile(r"[0-9a-f]{64}")
BITMAP = re.compile(r"(?:[0-9a-f]{2})+")
OFFSET = re.compile(r"0|[1-9][0-9]{0,10}")
LENGTH = re.compile(r"[1-9][0-9]{0,9}")
SINGLE_RANGE = re.compile(r"[ \t]*bytes[ \t]*=[ \t]*([0-9]{0,19})-([0-9]{0,19})[ \t]*", re.IGNORECASE)

REASONS = {200: "OK", 206: "Partial Content", 400: "Bad Request", 404: "Not Found", 405: "Method Not Allowed",
           409: "Conflict", 411: "Length Required", 413: "Payload Too Large", 416: "Range Not Satisfiable",
           500: "Internal Server Error", 503: "Service Unavailable"}


class Refusal(Exception):
    """A request answered with a 4xx or 5xx status; the text goes to the log."""

    def __init__(self, status, reason, headers=()):
        super().__init__(reason)
        self.status = status
        self.reason = reason
        self.headers = list(headers)


class Catalogue:
    """One version's repair catalogue: digest texts ascending, the SHA-256 the
    launcher sends with every request, and each object's file size. Every line
    must be a digest text: the lines become paths under objects/."""

    def __init__(self, folder, path):
        text = path.read_bytes()
        self.digest = hashlib.sha256(text).hexdigest()
        lines = text.split(b"\n")
        if lines[-1] != b"":
            raise Refusal(500, f"{path} does not end with a line feed")
        self.entries = []
        for number, line in enumerate(lines[:-1], start=1):
            if not DIGEST.fullmatch(line.decode("latin-1")):
                raise Refusal(500, f"{path} line {number} is not a digest: {line[:80]!r}")
            self.entries.append(line.decode("ascii"))
        self.sizes = []
        for entry in self.entries:
            try:
                self.sizes.append((folder / "objects" / entry).stat().st_size)
            except OSError:
                self.sizes.append(None)


class PatchService:
    """The WSGI application; releases: folders holding one folder per version."""

    def __init__(self, releases, log=None, forwarded_from=LOOPBACK):
        self.releases = [pathlib.Path(folder).resolve() for folder in releases]
        self.log = log or logging.getLogger("orvex.patch_service")
        self.forwarded_from = [ipaddress.ip_network(network, strict=False) for network in forwarded_from]
        self.catalogues = collections.OrderedDict()
        self.catalogue_lock = threading.Lock()

    # ------------------------------------------------------------ WSGI entry
    def __call__(self, environ, start_response):
        started = time.monotonic()
        method = environ.get("REQUEST_METHOD", "")
        path = environ.get("PATH_INFO", "")
        record = {"method": method, "path": path}
        if "RAW_URI" in environ:
            record["raw"] = environ["RAW_URI"]
        record["remote"], via = player_address(environ, self.forwarded_from)
        if via is not None:
            record["via"] = via
        streamed = None
        try:
            status, headers, body, length = self.route(environ, method, path, record)
            if length is not None and method != "HEAD":
                streamed = body
        except Refusal as refusal:
            status, headers, length = refusal.status, refusal.headers, None
            # A server fault's reason names files of the server: the log has it.
            body = (refusal.reason + "\n").encode("utf-8", "replace") if status < 500 else b"internal error\n"
            record["error"] = refusal.reason
        except Exception as error:  # a broken release or disk: logged, never a crash
            status, headers, length = 500, [], None
            body = b"internal error\n"
            record["error"] = f"{type(error).__name__}: {error}"
            record["traceback"] = traceback.format_exc()
        if length is None:
            length = len(body)
            body = [body] if method != "HEAD" else []
        headers = [("Content-Length", str(length)), *headers]
        if not any(name == "Content-Type" for name, _ in headers):
            headers.append(("Content-Type", "text/plain; charset=utf-8" if status >= 300 else
                            "application/octet-stream"))
        record["status"] = status
        start_response(f"{status} {REASONS.get(status, '')}", headers)
        if streamed is None:
            record.update(bytes=length, ms=round((time.monotonic() - started) * 1000, 1))
            self.log.info(json.dumps(record))
            return body
        return logged_body(environ, streamed, length, record, started, self.log)

    def route(self, environ, method, path, record):
        if path == HEALTH_PATH:
            if method not in ("GET", "HEAD"):
                raise Refusal(405, "health is GET or HEAD", [("Allow", "GET, HEAD")])
            return self.health(method)
        if path == HEALTH_PROBE_PATH:
            return self.health_probe()
        prefix = next((p for p in PREFIXES if path.startswith(p)), None)
        if prefix is None:
            raise Refusal(404, "not a patch path")
        name = path[len(prefix):]
        record["endpoint"] = "cdn" if prefix == "/orvex-patch/" else "fallback"
        if name == REPAIR_NAME:
            if method != "POST":
                raise Refusal(405, "repair requests are POST", [("Allow", "POST")])
            return self.repair(environ, record)
        if method not in ("GET", "HEAD"):
            raise Refusal(405, "published files are GET or HEAD", [("Allow", "GET, HEAD")])
        return self.published(environ, method, name)

    # ------------------------------------------------------------ health
    def health(self, method):
        versions, readable = [], False
        for folder in self.releases:
            try:
                versions += sorted(int(entry.name) for entry in os.scandir(folder)
                                   if VERSION.fullmatch(entry.name) and entry.is_dir())
                readable = True
            except OSError:
                pass
        body = json.dumps({"status": "ok" if readable else "unavailable", "versions": versions}).encode() + b"\n"
        return (200 if readable else 503), [("Content-Type", "application/json"),
                                            ("Cache-Control", "no-store")], body, None

    def health_probe(self):
        """For the nginx front: an X-Accel-Redirect to the newest version's
        manifest, which nginx then reads as its own worker user (a release
        only the service can read is a release nobody gets). Named whether
        or not this process can read it."""
        newest = 0
        for folder in self.releases:
            try:
                newest = max([newest, *(int(entry.name) for entry in os.scandir(folder)
                                        if VERSION.fullmatch(entry.name) and entry.is_dir())])
            except OSError:
                pass
        if not newest:
            raise Refusal(503, "no version to probe")
        return 200, [("X-Accel-Redirect", f"{HEALTH_PROBE_FILES}{newest}/{newest}.manifest"),
                     ("Cache-Control", "no-store")], b"", None

    # ------------------------------------------------------------ published files
    def release_file(self, version, name):
        for folder in self.releases:
            candidate = folder / str(version) / name
            if candidate.is_file():
                return candidate
        return None

    def published(self, environ, method, name):
        match = PUBLISHED_NAME.fullmatch(name)
        path = self.release_file(int(match.group(1)), name) if match else None
        if path is None:
            raise Refusal(404, "no such published file")
        stream = open(path, "rb")
        try:
            info = os.fstat(stream.fileno())
            size = info.st_size
            etag = f'"{size:x}-{info.st_mtime_ns:x}"'
            headers = [("Accept-Ranges", "bytes"), ("ETag", etag),
                       ("Last-Modified", time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime(info.st_mtime)))]
            wanted = environ.get("HTTP_RANGE")
            if_range = environ.get("HTTP_IF_RANGE")
            span = parse_range(wanted, size) if wanted and (if_range is None or if_range == etag) else None
            if span == "unsatisfiable":
                raise Refusal(416, f"range {wanted!r} outside {size} bytes", [("Content-Range", f"bytes */{size}")])
            if method == "HEAD":
                stream.close()
                if span:
                    headers.append(("Content-Range", f"bytes {span[0]}-{span[1]}/{size}"))
                    return 206, headers, [], span[1] - span[0] + 1
                return 200, headers, [], size
            if span is None:
                # The open file itself: the server may send it with sendfile.
                return 200, headers, CountedFile(stream), size
            start, end = span
            headers.append(("Content-Range", f"bytes {start}-{end}/{size}"))
            # Not the server's file wrapper: gunicorn's sendfile path sends
            # from the start of the file whatever its position, so a range is
            # read and written here.
            return 206, headers, read_span(stream, start, end - start + 1), end - start + 1
        except BaseException:
            stream.close()
            raise

    # ------------------------------------------------------------ repair batches
    def catalogue(self, version):
        """The catalogue of version, or None when no release folder has one."""
        for folder in self.releases:
            path = folder / str(version) / f"{version}.catalogue"
            try:
                info = path.stat()
            except OSError:
                continue
            key = (str(path), info.st_ino, info.st_size, info.st_mtime_ns)
            with self.catalogue_lock:
                cached = self.catalogues.get(key)
                if cached is not None:
                    self.catalogues.move_to_end(key)
                    return cached
            loaded = Catalogue(path.parent, path)
            with self.catalogue_lock:
                self.catalogues[key] = loaded
                while len(self.catalogues) > CATALOGUE_CACHE:
                    self.catalogues.popitem(last=False)
            return loaded
        return None

    def repair(self, environ, record):
        body = read_body(environ)
        version, digest, bitmap, offset, length = parse_repair_body(body)
        record.update(version=version, offset=offset, length=length)
        catalogue = self.catalogue(version)
        if catalogue is None:
            raise Refusal(404, f"version {version} has no repair catalogue")
        if digest != catalogue.digest:
            raise Refusal(409, f"catalogue digest {digest} is not the one of version {version}")
        count = len(catalogue.entries)
        if len(bitmap) != (count + 7) // 8:
            raise Refusal(400, f"bitmap of {len(bitmap)} bytes for a catalogue of {count} entries")
        wanted = [i for i in range(len(bitmap) * 8) if bitmap[i >> 3] >> (i & 7) & 1]
        if not wanted:
            raise Refusal(400, "bitmap requests nothing")
        if wanted[-1] >= count:
            raise Refusal(400, "bitmap names entries past the catalogue")
        record["objects"] = len(wanted)
        if any(catalogue.sizes[i] is None for i in wanted):
            raise Refusal(500, f"release {version} lacks a repair object it lists")
        ends, total = [], 0
        for i in wanted:
            total += catalogue.sizes[i]
            ends.append(total)
        if offset + length > total:
            raise Refusal(400, f"segment {offset}+{length} reaches past the {total} bytes requested")
        folder = None
        for candidate in self.releases:
            if (candidate / str(version) / f"{version}.catalogue").is_file():
                folder = candidate / str(version) / "objects"
                break
        names = [catalogue.entries[i] for i in wanted]
        return 200, [], stream_segment(folder, names, ends, offset, length), length


def player_address(environ, fronts):
    """(the player's address, the front's address or None): X-Forwarded-For
    counts only on a connection from one of fronts, anyone else could forge
    it. The front sets the header to the address it saw; when something on the
    way appended to it, the last entry is the one the front added."""
    peer = environ.get("REMOTE_ADDR", "")
    forwarded = environ.get("HTTP_X_FORWARDED_FOR")
    if forwarded is None:
        return peer, None
    try:
        address = ipaddress.ip_address(peer)
        player = ipaddress.ip_address(forwarded.split(",")[-1].strip())
    except ValueError:
        return peer, None
    if getattr(address, "ipv4_mapped", None) is not None:
        address = address.ipv4_mapped
    if not any(address in network for network in fronts):
        return peer, None
    return str(player), peer


def parse_range(header, size):
    """(first, last) byte of a single "bytes=" range, "unsatisfiable", or None
    when the header is to be ignored (another unit, several ranges, malformed:
    RFC 9110 lets a server answer those with the whole file)."""
    match = SINGLE_RANGE.fullmatch(header)
    if match is None or not any(match.groups()):
        return None
    first, last = match.groups()
    if not first:
        if int(last) == 0 or size == 0:
            return "unsatisfiable"
        return max(0, size - int(last)), size - 1
    start = int(first)
    if last and int(last) < start:
        return None
    if start >= size:
        return "unsatisfiable"
    return start, min(int(last) if last else size - 1, size - 1)


def read_span(stream, start, count):
    """Yields count bytes of an open file from start, then closes it."""
    try:
        stream.seek(start)
        while count > 0:
            chunk = stream.read(min(CHUNK, count))
            if not chunk:
                raise OSError(f"{stream.name} ended early")
            count -= len(chunk)
            yield chunk
    finally:
        stream.close()


def stream_segment(folder, names, ends, offset, length):
    """Yields bytes [offset, offset + length) of the files of folder named by
    names, concatenated (ends: each file's end in that concatenation). Only the
    files the segment touches are opened, one at a time, and the bytes go out
    in pieces of about CHUNK: small objects are gathered into one piece, so a
    request for thousands of tiny files costs a few large writes, and a large
    segment never sits in memory as a whole. Descriptors opened relative to
    the folder's and pread keep each object to three short system calls."""
    flags = os.O_RDONLY | getattr(os, "O_CLOEXEC", 0)
    directory = os.open(folder, flags | getattr(os, "O_DIRECTORY", 0))
    try:
        index = bisect.bisect_right(ends, offset)
        position, stop = offset, offset + length
        pending, held = [], 0
        while position < stop:
            begin = ends[index - 1] if index else 0
            at, count = position - begin, min(ends[index], stop) - position
            descriptor = os.open(names[index], flags, dir_fd=directory)
            try:
                while count > 0:
                    chunk = os.pread(descriptor, min(CHUNK, count), at)
                    if not chunk:
                        raise OSError(f"objects/{names[index]} ended early")
                    at += len(chunk)
                    count -= len(chunk)
                    pending.append(chunk)
                    held += len(chunk)
                    if held >= CHUNK:
                        yield b"".join(pending)
                        pending, held = [], 0
            finally:
                os.close(descriptor)
            position = min(ends[index], stop)
            index += 1
        if pending:
            yield b"".join(pending)
    finally:
        os.close(directory)


class CountedFile:
    """An open file handed to the server, counting what the server took: bytes
    read are counted once the next read shows the previous piece was written,
    and the server's sendfile reports its end position through seek."""

    mode = "rb"

    def __init__(self, stream):
        self.stream = stream
        self.sent = 0
        self.pending = 0
        self.finish = None  # called once with the bytes sent when closed

    def fileno(self):
        return self.stream.fileno()

    def read(self, size=-1):
        self.sent += self.pending
        data = self.stream.read(size)
        self.pending = len(data)
        return data

    def seek(self, position, whence=os.SEEK_SET):
        result = self.stream.seek(position, whence)
        if whence == os.SEEK_SET and self.pending == 0:
            self.sent = max(self.sent, position)
        return result

    def tell(self):
        return self.stream.tell()

    def close(self):
        self.stream.close()
        finish, self.finish = self.finish, None
        if finish is not None:
            finish(self.sent)


def logged_body(environ, body, length, record, started, log):
    """The answer's iterable that writes the request's log line when the server
    closes it, with the bytes really sent and, when fewer than announced went
    out, an error: why the body broke off, or that the client left."""
    def finish(sent, error=None):
        if error is not None:
            record["error"] = error
        elif sent != length and "error" not in record:
            record["error"] = f"answer broke off after {sent} of {length} bytes"
        if sent != length:
            record.update(cut=True, expected=length)
        record.update(bytes=sent, ms=round((time.monotonic() - started) * 1000, 1))
        log.info(json.dumps(record))

    wrapper = environ.get("wsgi.file_wrapper")
    if isinstance(body, CountedFile) and wrapper is not None:
        body.finish = finish  # the wrapper's close is the file's
        return wrapper(body, CHUNK)
    if isinstance(body, CountedFile):
        body = read_span(body.stream, 0, length)
    return LoggedBody(body, finish)


class LoggedBody:
    """Body pieces from a generator, each counted as sent once the server asks
    for the next one (it has written the previous one by then)."""

    def __init__(self, pieces, finish):
        self.pieces = pieces
        self.finish = finish
        self.sent = 0
        self.error = None
        self.running = None

    def __iter__(self):
        self.running = self.run()
        return self.running

    def run(self):
        try:
            for piece in self.pieces:
                yield piece
                self.sent += len(piece)
        except Exception as error:
            self.error = f"{type(error).__name__}: {error}"
            raise

    def close(self):
        try:
            if self.running is not None:
                self.running.close()
            if hasattr(self.pieces, "close"):
                self.pieces.close()
        finally:
            self.finish(self.sent, self.error)


def read_body(environ):
    text = environ.get("CONTENT_LENGTH") or ""
    if not text.isdigit():
        raise Refusal(411, "repair request without a Content-Length")
    size = int(text)
    if size > MAX_REPAIR_BODY:
        raise Refusal(413, f"repair request body of {size} bytes")
    stream, body = environ["wsgi.input"], b""
    while len(body) < size:
        chunk = stream.read(size - len(body))
        if not chunk:
            raise Refusal(400, "repair request body ended early")
        body += chunk
    return body


def parse_repair_body(body):
    """(version, catalogue digest, bitmap bytes, offset, length) of a body
    exactly as the launcher writes it: six lines, each ended by a line feed."""
    try:
        text = body.decode("ascii")
    except UnicodeDecodeError:
        raise Refusal(400, "repair request body is not ASCII") from None
    lines = text.split("\n")
    if len(lines) != 7 or lines[6] != "" or lines[1] != "BITS":
        raise Refusal(400, "repair request is not six lines: version, BITS, digest, bitmap, offset, length")
    version, _, digest, bitmap, offset, length = lines[:6]
    if not VERSION.fullmatch(version) or int(version) > MAX_VERSION:
        raise Refusal(400, f"repair version {version[:16]!r} is not 1 to {MAX_VERSION}")
    if not DIGEST.fullmatch(digest):
        raise Refusal(400, "catalogue digest is not 64 lower-case hexadecimal characters")
    if not BITMAP.fullmatch(bitmap):
        raise Refusal(400, "bitmap is not lower-case hexadecimal, two characters a byte")
    if not OFFSET.fullmatch(offset) or not LENGTH.fullmatch(length):
        raise Refusal(400, "offset or length is not a plain decimal number")
    if int(length) > MAX_SEGMENT or int(offset) + int(length) > MAX_REPAIR_TOTAL:
        raise Refusal(400, f"segment {offset}+{length} beyond the launcher's limits")
    return int(version), digest, bytes.fromhex(bitmap), int(offset), int(length)


# ---------------------------------------------------------------- running it

def request_log(path=None):
    """The service's logger: one JSON line per request, appended to path (safe
    from several worker processes: each line is one append) or to stderr."""
    log = logging.getLogger("orvex.patch_service")
    if not log.handlers:
        handler = logging.FileHandler(path) if path else logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(message)s"))
        log.addHandler(handler)
        log.setLevel(logging.INFO)
        log.propagate = False
    return log


def create_app(releases=None, log=None, forwarded_from=None):
    """The application for gunicorn; releases is a folder or a list, by
    default ORVEX_RELEASES (folders separated by ":"), log by default
    ORVEX_SERVICE_LOG or standard error, forwarded_from (the addresses or
    networks the front connects from) by default ORVEX_FORWARDED_FROM
    (separated by ",") or loopback."""
    if releases is None:
        releases = [folder for folder in os.environ.get("ORVEX_RELEASES", "").split(":") if folder]
    elif isinstance(releases, (str, os.PathLike)):
        releases = [releases]
    if not releases:
        raise SystemExit("orvex-patch-service: no release folder (ORVEX_RELEASES or --releases)")
    if forwarded_from is None:
        forwarded_from = [item for item in os.environ.get("ORVEX_FORWARDED_FROM", "").split(",") if item] or LOOPBACK
    return PatchService(releases, request_log(log or os.environ.get("ORVEX_SERVICE_LOG")), forwarded_from)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="orvex-patch-service", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--releases", action="append", required=True, metavar="FOLDER",
                        help="folder of release folders written by orvex-publish release (repeatable)")
    parser.add_argument("--bind", action="append", metavar="ADDRESS:PORT",
                        help="address to listen on (repeatable; default 127.0.0.1:5444)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--threads", type=int, default=16, help="threads per worker (default 16)")
    parser.add_argument("--certfile", help="TLS certificate (PEM); with --keyfile the service speaks HTTPS")
    parser.add_argument("--keyfile", help="TLS private key (PEM)")
    parser.add_argument("--log", help="request log file (default: standard error)")
    parser.add_argument("--pid", help="write gunicorn's process id here")
    parser.add_argument("--forwarded-from", action="append", metavar="ADDRESS",
                        help="address or network of the front, whose X-Forwarded-For names the player "
                             "(repeatable; default: loopback addresses only)")
    parser.add_argument("--timeout", type=int, default=60,
                        help="seconds a silent worker lives before gunicorn restarts it (default 60)")
    args = parser.parse_args(argv)
    if bool(args.certfile) != bool(args.keyfile):
        parser.error("--certfile and --keyfile go together")
    for folder in args.releases:
        if not pathlib.Path(folder).is_dir():
            parser.error(f"{folder} is not a folder")
    for front in args.forwarded_from or []:
        try:
            ipaddress.ip_network(front, strict=False)
        except ValueError:
            parser.error(f"--forwarded-from {front} is not an address or network")

    os.environ["ORVEX_RELEASES"] = ":".join(str(pathlib.Path(f).resolve()) for f in args.releases)
    if args.log:
        os.environ["ORVEX_SERVICE_LOG"] = str(pathlib.Path(args.log).resolve())
    if args.forwarded_from:
        os.environ["ORVEX_FORWARDED_FROM"] = ",".join(args.forwarded_from)
    command = [sys.executable, "-m", "gunicorn", "--worker-class", "gthread", "--workers", str(args.workers),
               "--threads", str(args.threads), "--timeout", str(args.timeout), "--graceful-timeout", "10",
               "--keep-alive", "5", "--pythonpath", str(pathlib.Path(__file__).resolve().parents[1])]
    for address in args.bind or ["127.0.0.1:5444"]:
        command += ["--bind", address]
    if args.certfile:
        command += ["--certfile", args.certfile, "--keyfile", args.keyfile]
    if args.pid:
        command += ["--pid", args.pid]
    command.append("orvex_ops.patch_service:create_app()")
    os.execv(sys.executable, command)


if __name__ == "__main__":
    main()
