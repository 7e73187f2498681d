#!/usr/bin/env python3
"""Stand-in login server for ORVEX Launcher tests and demos.

Speaks the launcher's login protocol on one TCP port (127.0.0.1:15100 unless
told otherwise). Every frame in both directions is

    AA 55 | payload length, u16 little-endian | payload | 55 AA

and the first payload byte is the opcode. Strings are a u16 little-endian
length and that many bytes (Windows code page 1254), integers little-endian.

Requests it answers:
    0x01 VersionRequest      -> 0x01 VersionReply  (version u16)
    0x03 TextListRequest     -> 0x03 TextList      (count u16, strings)
    0x02 DownloadInfoRequest -> 0x02 DownloadInfo  (first text, second text,
                                                    count u16, patch names)
Other opcodes are recorded and not answered.

Connections are served one after the other; each starts from the scenario
afresh. Once bound it prints the line "listening" on stdout. It exits with
status 0 on SIGTERM or SIGINT, and by itself after --lifetime seconds, so it
never outlives the test that started it.

SCENARIO FILE (--scenario FILE), a JSON object; every key is optional and a
command-line option given explicitly overrides the key:

  version               int, default 1: server version in VersionReply
                        (-32768..65535, sent as its low 16 bits)
  text_list             [str]: strings of TextList
  first_text            str: first text of DownloadInfo
  second_text           str: second text of DownloadInfo
  patches               [str]: patch file names of DownloadInfo
  patches_above_client  bool, default false: DownloadInfo names only the
                        patches whose number (the digits of the name) is
                        above the version its DownloadInfoRequest carried, as
                        the real server answers a client that has restarted
  answer_version        bool, default true: answer VersionRequest
  answer_text_list      bool, default true: answer TextListRequest
  answer_download_info  bool, default true: answer DownloadInfoRequest
  send_on_connect       [packet]: packets sent right after accepting, before
                        any request
  reply_delay           seconds to wait before sending each batch of replies
  extra_version_reply   int or null: after the first VersionReply of a
                        connection send a second one carrying this version

Misbehaviours. A "packet" below is one of VersionReply, TextList,
DownloadInfo; a rule for a packet applies to every frame of it.

  split_frames          true, or a list of packets: write each such frame in
                        two writes, split_delay seconds apart
  split_delay           seconds, default 0.05
  split_at              byte offset of the split inside the frame (including
                        any garbage written ahead of it); default: the middle
  one_write             bool: all frames produced for one piece of client data
                        (or for the connect) go out in one write, so the client
                        sees several frames in one receive
  garbage_before        {packet: hex}: these bytes immediately precede the
                        frame, in the same write
  zero_length_after     packet: after it, write the empty frame AA 55 00 00 55
                        AA and one more byte 00 (six bytes alone are never
                        looked at by the launcher; the seventh makes it act)
  short_packets         {packet: n}: cut the payload to its first n bytes
                        (opcode included); the frame's length says n
  close_after           "connect" (close right after accepting), a packet
                        (close after its first frame), or an integer N (close
                        after N packet frames); frames due after the closing
                        one are not sent
  close_delay           seconds to wait before that close
  flood_after           packet: after it, wait flood_delay seconds, then write
                        flood_frames frames whose payload is the single byte
                        7F (an opcode the launcher ignores), in one write, and
                        keep the connection open: a peer that sends more than
                        anyone takes
  flood_frames          int, default 20000
  flood_delay           seconds, default 0

RECORD (--record FILE): one JSON line per frame the client sent, appended and
flushed as it arrives:
  {"connection": 1, "opcode": 1, "name": "VersionRequest", "payload": "01"}
"payload" is the hex of the whole payload, opcode included.

Examples:
  login_server.py --version 5 --patch patch4.zip --patch patch5.zip
  login_server.py --scenario split.json --record frames.jsonl --lifetime 60
"""
import argparse
import json
import os
import selectors
import signal
import socket
import sys
import time

HEADER = b"\xaa\x55"
TAIL = b"\x55\xaa"
TEXT_ENCODING = "cp1254"

VERSION_REPLY, DOWNLOAD_INFO, TEXT_LIST = 0x01, 0x02, 0x03
REQUEST_NAMES = {0x01: "VersionRequest", 0x02: "DownloadInfoRequest", 0x03: "TextListRequest"}
PACKETS = ("VersionReply", "TextList", "DownloadInfo")

DEFAULTS = {
    "version": 1,
    "text_list": [],
    "first_text": "",
    "second_text": "",
    "patches": [],
    "patches_above_client": False,
    "answer_version": True,
    "answer_text_list": True,
    "answer_download_info": True,
    "send_on_connect": [],
    "reply_delay": 0.0,
    "extra_version_reply": None,
    "split_frames": False,
    "split_delay": 0.05,
    "split_at": None,
    "one_write": False,
    "garbage_before": {},
    "zero_length_after": None,
    "short_packets": {},
    "close_after": None,
    "close_delay": 0.0,
    "flood_after": None,
    "flood_frames": 20000,
    "flood_delay": 0.0,
}


class Stop(Exception):
    """Raised from the signal handler and at the end of the lifetime."""


class ScenarioError(ValueError):
    pass


# --- encoding -------------------------------------------------------------


def u16(value):
    return (value & 0xFFFF).to_bytes(2, "little")


def string(text):
    data = text.encode(TEXT_ENCODING, errors="replace")
    if len(data) > 0xFFFF:
        raise ScenarioError("string longer than 65535 bytes")
    return u16(len(data)) + data


def frame(payload):
    if len(payload) > 0xFFFF:
        raise ScenarioError("payload longer than 65535 bytes")
    return HEADER + u16(len(payload)) + payload + TAIL


def build_payload(name, scenario, version=None):
    if name == "VersionReply":
        return bytes([VERSION_REPLY]) + u16(scenario["version"] if version is None else version)
    if name == "TextList":
        texts = scenario["text_list"]
        return bytes([TEXT_LIST]) + u16(len(texts)) + b"".join(string(t) for t in texts)
    if name == "DownloadInfo":
        patches = scenario["patches"]
        return (bytes([DOWNLOAD_INFO]) + string(scenario["first_text"]) + string(scenario["second_text"])
                + u16(len(patches)) + b"".join(string(p) for p in patches))
    raise ScenarioError(f"unknown packet {name!r}")


def patch_number(name):
    digits = "".join(c for c in name if c.isdigit())
    return int(digits) if digits else 0


# --- scenario -------------------------------------------------------------


def check_packet(name, where):
    if name not in PACKETS:
        raise ScenarioError(f"{where}: unknown packet {name!r} (one of {', '.join(PACKETS)})")


def validate(scenario):
    unknown = set(scenario) - set(DEFAULTS)
    if unknown:
        raise ScenarioError(f"unknown scenario keys: {', '.join(sorted(unknown))}")
    version = scenario["version"]
    if not isinstance(version, int) or not -32768 <= version <= 0xFFFF:
        raise ScenarioError("version must be an integer in -32768..65535")
    for key in ("text_list", "patches"):
        if not all(isinstance(t, str) for t in scenario[key]):
            raise ScenarioError(f"{key} must be a list of strings")
    for name in scenario["send_on_connect"]:
        check_packet(name, "send_on_connect")
    if scenario["split_at"] is not None and not isinstance(scenario["split_at"], int):
        raise ScenarioError("split_at must be an integer")
    split = scenario["split_frames"]
    if isinstance(split, list):
        for name in split:
            check_packet(name, "split_frames")
    for name, text in scenario["garbage_before"].items():
        check_packet(name, "garbage_before")
        bytes.fromhex(text)
    for name, length in scenario["short_packets"].items():
        check_packet(name, "short_packets")
        if not isinstance(length, int) or length < 0:
            raise ScenarioError("short_packets lengths must be integers >= 0")
    if scenario["zero_length_after"] is not None:
        check_packet(scenario["zero_length_after"], "zero_length_after")
    if scenario["flood_after"] is not None:
        check_packet(scenario["flood_after"], "flood_after")
    if not isinstance(scenario["flood_frames"], int) or scenario["flood_frames"] < 1:
        raise ScenarioError("flood_frames must be an integer >= 1")
    close_after = scenario["close_after"]
    if isinstance(close_after, int):
        if close_after < 1:
            raise ScenarioError("close_after as a frame count must be at least 1")
    elif close_after is not None and close_after != "connect":
        check_packet(close_after, "close_after")
    extra = scenario["extra_version_reply"]
    if extra is not None and (not isinstance(extra, int) or not -32768 <= extra <= 0xFFFF):
        raise ScenarioError("extra_version_reply must be an integer in -32768..65535")
    return scenario


def pairs(items, convert, option):
    result = {}
    for item in items:
        name, sep, value = item.partition("=")
        if not sep:
            raise ScenarioError(f"{option} wants PACKET=VALUE, got {item!r}")
        result[name] = convert(value)
    return result


def close_after_value(text):
    return int(text) if text.lstrip("-").isdigit() else text


def load_scenario(args):
    scenario = dict(DEFAULTS)
    if args.scenario:
        with open(args.scenario, encoding="utf-8") as handle:
            loaded = json.load(handle)
        if not isinstance(loaded, dict):
            raise ScenarioError("the scenario file must hold a JSON object")
        scenario.update(loaded)
    overrides = {
        "version": args.version,
        "text_list": args.text,
        "first_text": args.first_text,
        "second_text": args.second_text,
        "patches": args.patch,
        "answer_version": False if args.no_version_reply else None,
        "answer_text_list": False if args.no_text_list else None,
        "answer_download_info": False if args.no_download_info else None,
        "send_on_connect": args.send_on_connect,
        "reply_delay": args.reply_delay,
        "extra_version_reply": args.extra_version_reply,
        "split_frames": True if args.split_frames else None,
        "split_delay": args.split_delay,
        "split_at": args.split_at,
        "one_write": True if args.one_write else None,
        "garbage_before": pairs(args.garbage_before, lambda v: bytes.fromhex(v).hex(), "--garbage-before")
        if args.garbage_before else None,
        "zero_length_after": args.zero_length_after,
        "short_packets": pairs(args.short, int, "--short") if args.short else None,
        "close_after": close_after_value(args.close_after) if args.close_after is not None else None,
        "close_delay": args.close_delay,
        "flood_after": args.flood_after,
        "flood_frames": args.flood_frames,
        "flood_delay": args.flood_delay,
    }
    scenario.update({key: value for key, value in overrides.items() if value is not None})
    return validate(scenario)


# --- one connection ---------------------------------------------------------


class Pause:
    def __init__(self, seconds):
        self.seconds = seconds


class Connection:
    def __init__(self, sock, number, scenario, recorder, log):
        self.sock = sock
        self.number = number
        self.scenario = scenario
        self.recorder = recorder
        self.log = log
        self.inbox = b""
        self.frames_sent = 0
        self.version_replies = 0
        self.closing = False
        self.client_version = None  # of the last DownloadInfoRequest

    # Output is a list of items: bytes (one frame and its garbage, or a part
    # of a split frame) and Pause markers. one_write merges adjacent bytes.
    def packet_items(self, name, version=None):
        s = self.scenario
        if name == "DownloadInfo" and s["patches_above_client"] and self.client_version is not None:
            s = {**s, "patches": [p for p in s["patches"] if patch_number(p) > self.client_version]}
        payload = build_payload(name, s, version)
        if name in s["short_packets"]:
            payload = payload[: s["short_packets"][name]]
        data = bytes.fromhex(s["garbage_before"].get(name, "")) + frame(payload)
        split = s["split_frames"]
        items = [data]
        if split is True or (isinstance(split, list) and name in split):
            at = s["split_at"] if s["split_at"] is not None else len(data) // 2
            at = max(1, min(at, len(data) - 1))
            items = [data[:at], Pause(s["split_delay"]), data[at:]]
        if s["zero_length_after"] == name:
            items.append(frame(b"") + b"\x00")
        if s["flood_after"] == name:
            items += [Pause(s["flood_delay"]), frame(b"\x7f") * s["flood_frames"]]
        self.frames_sent += 1
        close_after = s["close_after"]
        if close_after == name or (isinstance(close_after, int) and self.frames_sent >= close_after):
            self.closing = True
        return items

    def produce(self, names):
        items = []
        for name in names:
            if self.closing:
                break
            if name == "VersionReply":
                self.version_replies += 1
                items += self.packet_items(name)
                extra = self.scenario["extra_version_reply"]
                if self.version_replies == 1 and extra is not None and not self.closing:
                    items += self.packet_items(name, extra)
            else:
                items += self.packet_items(name)
        return items

    def write(self, items):
        if not items:
            return
        if self.scenario["reply_delay"]:
            time.sleep(self.scenario["reply_delay"])
        pending = b""
        for item in items:
            if isinstance(item, Pause):
                if pending:
                    self.sock.sendall(pending)
                    pending = b""
                time.sleep(item.seconds)
            elif self.scenario["one_write"]:
                pending += item
            else:
                self.sock.sendall(item)
        if pending:
            self.sock.sendall(pending)

    def on_connect(self):
        if self.scenario["close_after"] == "connect":
            self.closing = True
            return
        self.write(self.produce(self.scenario["send_on_connect"]))

    def on_data(self, data):
        """Parses the client's frames; returns False when the connection must end."""
        self.inbox += data
        replies = []
        while len(self.inbox) >= 4:
            if self.inbox[:2] != HEADER:
                self.log(f"connection {self.number}: broken header, dropping {len(self.inbox)} bytes")
                self.inbox = b""
                break
            length = int.from_bytes(self.inbox[2:4], "little")
            if len(self.inbox) < length + 6:
                break
            if self.inbox[4 + length: 6 + length] != TAIL:
                self.log(f"connection {self.number}: broken tail, dropping {len(self.inbox)} bytes")
                self.inbox = b""
                break
            payload = self.inbox[4: 4 + length]
            self.inbox = self.inbox[6 + length:]
            if not payload:
                self.log(f"connection {self.number}: empty frame, closing")
                return False
            self.record(payload)
            opcode = payload[0]
            if opcode == 0x01 and self.scenario["answer_version"]:
                replies.append("VersionReply")
            elif opcode == 0x03 and self.scenario["answer_text_list"]:
                replies.append("TextList")
            elif opcode == 0x02 and self.scenario["answer_download_info"]:
                if len(payload) >= 3:
                    self.client_version = int.from_bytes(payload[1:3], "little", signed=True)
                replies.append("DownloadInfo")
        self.write(self.produce(replies))
        return not self.closing

    def record(self, payload):
        if self.recorder is None:
            return
        line = {"connection": self.number, "opcode": payload[0],
                "name": REQUEST_NAMES.get(payload[0], "Unknown"), "payload": payload.hex()}
        self.recorder.write(json.dumps(line) + "\n")
        self.recorder.flush()


# --- server loop ----------------------------------------------------------


def remaining(deadline):
    left = deadline - time.monotonic()
    if left <= 0:
        raise Stop()
    return min(left, 0.25)


def serve_connection(sock, number, scenario, recorder, deadline, log):
    connection = Connection(sock, number, scenario, recorder, log)
    connection.on_connect()
    with selectors.DefaultSelector() as selector:
        selector.register(sock, selectors.EVENT_READ)
        while not connection.closing:
            if not selector.select(remaining(deadline)):
                continue
            try:
                data = sock.recv(65536)
            except ConnectionError:
                data = b""
            if not data:
                log(f"connection {number}: closed by the client")
                return
            if not connection.on_data(data):
                break
    if scenario["close_delay"]:
        time.sleep(scenario["close_delay"])
    log(f"connection {number}: closing")


def serve(listener, scenario, recorder, deadline, log):
    number = 0
    with selectors.DefaultSelector() as selector:
        selector.register(listener, selectors.EVENT_READ)
        while True:
            if not selector.select(remaining(deadline)):
                continue
            sock, peer = listener.accept()
            number += 1
            log(f"connection {number} from {peer[0]}:{peer[1]}")
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                serve_connection(sock, number, scenario, recorder, deadline, log)
            except OSError as error:
                log(f"connection {number}: {error}")
            finally:
                sock.close()


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="login_server.py", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    net = parser.add_argument_group("server")
    net.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    net.add_argument("--port", type=int, default=15100, help="port to listen on (default 15100; 0 picks a free one)")
    net.add_argument("--port-file", help="write the bound port to this file before printing 'listening'")
    net.add_argument("--scenario", help="JSON scenario file (keys above)")
    net.add_argument("--record", help="append one JSON line per client frame to this file")
    net.add_argument("--lifetime", type=float, default=600.0,
                     help="exit by itself after this many seconds (default 600)")
    net.add_argument("--quiet", action="store_true", help="no connection log on stderr")

    content = parser.add_argument_group("replies (override the scenario keys of the same name)")
    content.add_argument("--version", type=int, help="server version in VersionReply")
    content.add_argument("--text", action="append", help="a TextList string (repeat for more)")
    content.add_argument("--first-text", help="first text of DownloadInfo")
    content.add_argument("--second-text", help="second text of DownloadInfo")
    content.add_argument("--patch", action="append", help="a patch file name of DownloadInfo (repeat for more)")
    content.add_argument("--no-version-reply", action="store_true", help="do not answer VersionRequest")
    content.add_argument("--no-text-list", action="store_true", help="do not answer TextListRequest")
    content.add_argument("--no-download-info", action="store_true", help="do not answer DownloadInfoRequest")
    content.add_argument("--send-on-connect", action="append", metavar="PACKET",
                         help="send this packet right after accepting (repeat for more)")
    content.add_argument("--reply-delay", type=float, help="seconds to wait before each batch of replies")
    content.add_argument("--extra-version-reply", type=int, metavar="VERSION",
                         help="send a second VersionReply with this version")

    bad = parser.add_argument_group("misbehaviours (override the scenario keys of the same name)")
    bad.add_argument("--split-frames", action="store_true", help="write every frame in two writes")
    bad.add_argument("--split-delay", type=float, help="seconds between the two writes (default 0.05)")
    bad.add_argument("--split-at", type=int, help="byte offset of the split (default: the middle)")
    bad.add_argument("--one-write", action="store_true", help="write the frames of one batch in one write")
    bad.add_argument("--garbage-before", action="append", metavar="PACKET=HEX",
                     help="write these bytes right before each frame of PACKET")
    bad.add_argument("--zero-length-after", metavar="PACKET", help="write an empty frame (and a byte 00) after PACKET")
    bad.add_argument("--short", action="append", metavar="PACKET=N", help="cut PACKET's payload to N bytes")
    bad.add_argument("--close-after", metavar="WHEN", help="'connect', a PACKET, or a number of frames")
    bad.add_argument("--close-delay", type=float, help="seconds to wait before that close")
    bad.add_argument("--flood-after", metavar="PACKET", help="after PACKET, write many one-byte frames at once")
    bad.add_argument("--flood-frames", type=int, help="how many (default 20000)")
    bad.add_argument("--flood-delay", type=float, help="seconds to wait before the flood (default 0)")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    log = (lambda text: None) if args.quiet else (lambda text: print(f"login_server: {text}", file=sys.stderr,
                                                                       flush=True))
    try:
        scenario = load_scenario(args)
    except (OSError, ValueError) as error:
        print(f"login_server: bad scenario: {error}", file=sys.stderr)
        return 2

    def on_signal(signum, frame_):
        raise Stop()

    deadline = time.monotonic() + args.lifetime
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    recorder = None
    try:
        signal.signal(signal.SIGTERM, on_signal)
        signal.signal(signal.SIGINT, on_signal)
        # Tests restart the server on the same port while earlier connections
        # are still in TIME_WAIT.
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            listener.bind((args.host, args.port))
        except OSError as error:
            print(f"login_server: cannot listen on {args.host}:{args.port}: {error}", file=sys.stderr)
            return 1
        listener.listen(8)
        if args.record:
            recorder = open(args.record, "a", encoding="utf-8")
        if args.port_file:
            temporary = args.port_file + ".tmp"
            with open(temporary, "w", encoding="ascii") as handle:
                handle.write(f"{listener.getsockname()[1]}\n")
            os.replace(temporary, args.port_file)
        print("listening", flush=True)
        serve(listener, scenario, recorder, deadline, log)
    except Stop:
        pass
    finally:
        listener.close()
        if recorder is not None:
            recorder.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
