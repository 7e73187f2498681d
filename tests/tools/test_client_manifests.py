"""make-client-manifests of tools/orvex_ops/publish.py, read back with a reader
written here: the binary layout of ORVEX/Startup.manifest and
ORVEX/Integrity.manifest, the raw r||s signature under the development
manifest key, which file goes where, and every refusal."""
import hashlib
import pathlib
import struct
import subprocess
import sys

import pytest
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

ROOT = pathlib.Path(__file__).resolve().parents[2]
TOOL = ROOT / "tools" / "orvex_ops" / "publish.py"
MANIFEST_KEY = ROOT / "testdata" / "dev" / "manifest-private.pem"
UPDATE_KEY = ROOT / "testdata" / "dev" / "update-private.pem"

START_FILES = {
    "Launcher.exe": b"MZ launcher",
    "D3DX9_43.dll": b"MZ d3dx",
    "Vantrell.exe": b"MZ game",
    "ORVEXGuard.exe": b"MZ guard",
    "Option.exe": b"MZ option",
    "ORVEX/Launcher/ui.dat": b"",
    "data/sub/deep.tbl": b"not directly in data",
}
TABLES = {"DATA/Item.TBL": b"items", "data/skill.tbl": b"skills" * 1000}


def run_tool(*args):
    return subprocess.run([sys.executable, str(TOOL), *map(str, args)], capture_output=True, text=True)


def make_tree(root: pathlib.Path, files: dict) -> pathlib.Path:
    for name, data in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    return root


def verify(data: bytes, key_path: pathlib.Path = MANIFEST_KEY) -> bytes:
    """The body, after checking the trailing raw 64-byte signature over it."""
    body, signature = data[:-64], data[-64:]
    public = serialization.load_pem_private_key(key_path.read_bytes(), password=None).public_key()
    der = encode_dss_signature(int.from_bytes(signature[:32], "big"), int.from_bytes(signature[32:], "big"))
    public.verify(der, body, ec.ECDSA(hashes.SHA256()))
    return body


def read_entries(body: bytes, offset: int, count: int):
    entries = []
    for _ in range(count):
        (length,) = struct.unpack_from("<H", body, offset)
        name = body[offset + 2:offset + 2 + length].decode("ascii")
        offset += 2 + length
        (size,) = struct.unpack_from("<Q", body, offset)
        digest = body[offset + 8:offset + 40]
        assert len(digest) == 32
        offset += 40
        entries.append((name, size, digest))
    assert offset == len(body), "the entries must end exactly at the signature"
    return entries


def read_startup(path: pathlib.Path):
    data = path.read_bytes()
    assert 76 <= len(data) <= 8 * 1024 ** 2
    body = verify(data)
    assert body[:8] == b"ORBOOT03"
    (count,) = struct.unpack_from("<I", body, 8)
    assert 7 <= count <= 30000
    return read_entries(body, 12, count)


def read_integrity(path: pathlib.Path):
    data = path.read_bytes()
    assert 80 <= len(data) <= 2 * 1024 ** 2
    body = verify(data)
    assert body[:8] == b"ORVEXTB1"
    stamp, count = struct.unpack_from("<II", body, 8)
    assert stamp >= 2026111501 and 1 <= count <= 4096
    return stamp, read_entries(body, 16, count)


def expected(files: dict):
    return sorted(((name, len(data), hashlib.sha256(data).digest()) for name, data in files.items()),
                  key=lambda entry: (entry[0].lower(), entry[0]))


@pytest.fixture
def tree(tmp_path):
    return make_tree(tmp_path / "tree", {**START_FILES, **TABLES, "Server.ini": b"[Version]\r\nFiles=1\r\n",
                                         ".orvex-update/update.lock": b""})


def test_help_names_the_command_and_both_files():
    result = run_tool("make-client-manifests", "--help")
    assert result.returncode == 0
    assert "ORBOOT03" in result.stdout and "ORVEXTB1" in result.stdout and "--tree" in result.stdout
    assert "make-client-manifests" in run_tool("--help").stdout


def test_both_manifests_signed_in_the_launchers_layout(tree, tmp_path):
    out = tmp_path / "out"
    result = run_tool("make-client-manifests", "--tree", tree, "--out", out, "--build-stamp", "2026123001")
    assert result.returncode == 0, result.stderr
    assert read_startup(out / "ORVEX" / "Startup.manifest") == expected(START_FILES)
    stamp, tables = read_integrity(out / "ORVEX" / "Integrity.manifest")
    assert stamp == 2026123001
    assert tables == expected(TABLES)
    assert tables[0][0] == "DATA/Item.TBL"  # letter case kept


def test_default_key_is_the_development_key_and_another_key_is_used_when_given(tree, tmp_path):
    assert run_tool("make-client-manifests", "--tree", tree, "--out", tmp_path / "dev").returncode == 0
    read_startup(tmp_path / "dev" / "ORVEX" / "Startup.manifest")
    other = tmp_path / "other.pem"
    other.write_bytes(ec.generate_private_key(ec.SECP256R1()).private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    assert run_tool("make-client-manifests", "--tree", tree, "--out", tmp_path / "o", "--key", other).returncode == 0
    data = (tmp_path / "o" / "ORVEX" / "Startup.manifest").read_bytes()
    with pytest.raises(InvalidSignature):
        verify(data)
    verify(data, other)


def test_a_changed_byte_breaks_the_signature(tree, tmp_path):
    assert run_tool("make-client-manifests", "--tree", tree, "--out", tmp_path).returncode == 0
    data = bytearray((tmp_path / "ORVEX" / "Integrity.manifest").read_bytes())
    data[12] ^= 1  # the entry count
    with pytest.raises(InvalidSignature):
        verify(bytes(data))


def test_rerun_in_the_client_folder_leaves_the_manifests_themselves_out(tree):
    for _ in range(2):
        assert run_tool("make-client-manifests", "--tree", tree, "--out", tree).returncode == 0
    assert read_startup(tree / "ORVEX" / "Startup.manifest") == expected(START_FILES)


def test_exclude_patterns_ignore_case(tree, tmp_path):
    make_tree(tree, {"logs/a.log": b"x", "Logs/B.LOG": b"y"})
    result = run_tool("make-client-manifests", "--tree", tree, "--out", tmp_path, "--exclude", "LOGS/*.log")
    assert result.returncode == 0, result.stderr
    assert read_startup(tmp_path / "ORVEX" / "Startup.manifest") == expected(START_FILES)


@pytest.mark.parametrize("change, message", [
    ({"remove": "Option.exe"}, "7 to 30000"),
    ({"remove_tables": True}, "1 to 4096"),
    ({"add": {"data/con.tbl": b"device"}}, "data/con.tbl"),
    ({"add": {"data/Skill.TBL": b"collision"}}, "same file on Windows"),
    ({"add": {"data/a?b.tbl": b"reserved"}}, "refuses"),
    ({"stamp": "2026111500"}, "build stamp"),
    ({"key": UPDATE_KEY}, "P-256"),
])
def test_refusals_write_nothing(tmp_path, change, message):
    files = {**START_FILES, **TABLES, **change.get("add", {})}
    files.pop(change.get("remove", ""), None)
    if change.get("remove_tables"):
        for name in TABLES:
            files.pop(name)
    tree = make_tree(tmp_path / "tree", files)
    result = run_tool("make-client-manifests", "--tree", tree, "--out", tmp_path / "out",
                      "--build-stamp", change.get("stamp", "2026111501"), "--key", change.get("key", MANIFEST_KEY))
    assert result.returncode == 2
    assert result.stderr.startswith("make-client-manifests:") and message in result.stderr, result.stderr
    assert not (tmp_path / "out" / "ORVEX" / "Startup.manifest").exists()
    assert not (tmp_path / "out" / "ORVEX" / "Integrity.manifest").exists()
