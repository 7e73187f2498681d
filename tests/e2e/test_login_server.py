"""The stand-in login server, checked byte by byte with a client written here
independently of it (struct-built frames, not the server's own helpers)."""
import json
import pathlib
import select
import signal
import socket
import struct
import subprocess
import sys
import time

import pytest

SERVER = pathlib.Path(__file__).resolve().parents[2] / "tools" / "test_servers" / "login_server.py"
TIMEOUT = 5.0


def frame(payload):
    return b"\xaa\x55" + struct.pack("<H", len(payload)) + payload + b"\x55\xaa"


def text(value):
    data = value.encode("cp1254")
    return struct.pack("<H", len(data)) + data


class Server:
    def __init__(self, tmp_path, args=(), scenario=None):
        self.record = tmp_path / "frames.jsonl"
        port_file = tmp_path / "port"
        command = [sys.executable, str(SERVER), "--port", "0", "--port-file", str(port_file),
                   "--record", str(self.record), "--lifetime", "30", "--quiet", *args]
        if scenario is not None:
            scenario_file = tmp_path / "scenario.json"
            scenario_file.write_text(json.dumps(scenario), encoding="utf-8")
            command += ["--scenario", str(scenario_file)]
        started = time.monotonic()
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ready, _, _ = select.select([self.process.stdout], [], [], TIMEOUT)
        assert ready, "server did not start"
        assert self.process.stdout.readline() == b"listening\n"
        self.startup = time.monotonic() - started
        self.port = int(port_file.read_text())

    def connect(self):
        return Client(self.port)

    def records(self):
        if not self.record.exists():
            return []
        return [json.loads(line) for line in self.record.read_text(encoding="utf-8").splitlines()]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(TIMEOUT)


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)

    def send(self, payload):
        self.sock.sendall(frame(payload))

    def read(self, count):
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                break
            data += chunk
        return data

    def read_to_end(self):
        data = b""
        while True:
            chunk = self.sock.recv(4096)
            if not chunk:
                return data
            data += chunk

    def close(self):
        self.sock.close()


@pytest.fixture
def start(tmp_path):
    servers = []

    def starter(*args, scenario=None):
        server = Server(tmp_path, args, scenario)
        servers.append(server)
        return server

    yield starter
    for server in servers:
        assert server.stop() == 0  # SIGTERM is a clean exit


def test_version_reply_bytes(start):
    server = start("--version", "4660")
    assert server.startup < 1.0
    client = server.connect()
    client.send(b"\x01")
    assert client.read(9) == bytes.fromhex("aa55 0300 01 3412 55aa")


def test_negative_version_is_sent_as_its_low_16_bits(start):
    client = start("--version", "-2").connect()
    client.send(b"\x01")
    assert client.read(9) == frame(b"\x01\xfe\xff")


def test_text_list_and_download_info_bytes(start):
    scenario = {"text_list": ["Duyuru", "Güncelleme"], "first_text": "ilk", "second_text": "",
                "patches": ["patch4.zip", "5.zip"], "version": 5}
    client = start(scenario=scenario).connect()
    client.send(b"\x03")
    client.send(b"\x02\x03\x00")
    text_list = frame(b"\x03" + struct.pack("<H", 2) + text("Duyuru") + text("Güncelleme"))
    download_info = frame(b"\x02" + text("ilk") + text("") + struct.pack("<H", 2) + text("patch4.zip") + text("5.zip"))
    assert client.read(len(text_list) + len(download_info)) == text_list + download_info
    assert b"G\xfcncelleme" in text_list  # code page 1254, as the launcher reads it


def test_records_every_client_frame_per_connection(start):
    server = start("--no-download-info")
    first = server.connect()
    first.send(b"\x01")
    first.read(9)
    first.send(b"\x02\x01\x00")
    first.send(b"\x7f\xaa")
    first.close()
    second = server.connect()  # served after the first one ended
    second.send(b"\x01")
    assert second.read(9) == frame(b"\x01\x01\x00")

    deadline = time.monotonic() + TIMEOUT
    while len(server.records()) < 4 and time.monotonic() < deadline:
        time.sleep(0.02)
    assert server.records() == [
        {"connection": 1, "opcode": 1, "name": "VersionRequest", "payload": "01"},
        {"connection": 1, "opcode": 2, "name": "DownloadInfoRequest", "payload": "020100"},
        {"connection": 1, "opcode": 127, "name": "Unknown", "payload": "7faa"},
        {"connection": 2, "opcode": 1, "name": "VersionRequest", "payload": "01"},
    ]


def test_split_frame_arrives_in_two_parts(start):
    client = start("--version", "3", "--split-frames", "--split-at", "3", "--split-delay", "0.3").connect()
    client.send(b"\x01")
    assert client.sock.recv(64) == bytes.fromhex("aa5503")
    assert client.read(6) == bytes.fromhex("00 01 0300 55aa")


def test_garbage_and_second_version_reply_in_one_write(start):
    scenario = {"version": 9, "one_write": True, "extra_version_reply": 7, "garbage_before": {"VersionReply": "0102"}}
    client = start(scenario=scenario).connect()
    client.send(b"\x01")
    expected = b"\x01\x02" + frame(b"\x01\x09\x00") + b"\x01\x02" + frame(b"\x01\x07\x00")
    time.sleep(0.1)
    assert client.sock.recv(1024) == expected  # one write: everything in one receive


def test_short_packet_then_zero_length_frame(start):
    client = start("--version", "4660", "--short", "VersionReply=2", "--zero-length-after", "VersionReply").connect()
    client.send(b"\x01")
    assert client.read(15) == frame(b"\x01\x34") + frame(b"") + b"\x00"


def test_flood_after_version_reply_keeps_the_connection_open(start):
    client = start("--flood-after", "VersionReply", "--flood-frames", "3", "--flood-delay", "0.2").connect()
    client.send(b"\x01")
    assert client.read(9 + 3 * 7) == frame(b"\x01\x01\x00") + frame(b"\x7f") * 3
    client.sock.settimeout(0.3)
    with pytest.raises(socket.timeout):
        client.sock.recv(1)


def test_close_after_version_reply(start):
    client = start("--close-after", "VersionReply").connect()
    client.send(b"\x01")
    assert client.read_to_end() == frame(b"\x01\x01\x00")


def test_unsolicited_packets_then_close_after_frame_count(start):
    scenario = {"send_on_connect": ["TextList", "VersionReply", "DownloadInfo"], "close_after": 2, "one_write": True}
    client = start(scenario=scenario).connect()
    assert client.read_to_end() == frame(b"\x03\x00\x00") + frame(b"\x01\x01\x00")


def test_empty_frame_from_client_ends_connection(start):
    client = start().connect()
    client.sock.sendall(frame(b""))
    assert client.read_to_end() == b""


def test_exits_by_itself_after_lifetime(tmp_path):
    server = Server(tmp_path, ["--lifetime", "0.3"])
    assert server.process.wait(TIMEOUT) == 0


def test_rejects_unknown_scenario_key(tmp_path):
    scenario = tmp_path / "bad.json"
    scenario.write_text('{"versoin": 3}', encoding="utf-8")
    result = subprocess.run([sys.executable, str(SERVER), "--port", "0", "--scenario", str(scenario)],
                            capture_output=True, timeout=TIMEOUT)
    assert result.returncode == 2
    assert b"versoin" in result.stderr


def test_help_documents_scenario_keys():
    result = subprocess.run([sys.executable, str(SERVER), "--help"], capture_output=True, timeout=TIMEOUT)
    assert result.returncode == 0
    for word in (b"--scenario", b"--record", b"--lifetime", b"close_after", b"zero_length_after", b"short_packets"):
        assert word in result.stdout
