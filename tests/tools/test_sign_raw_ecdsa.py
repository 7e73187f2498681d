"""orvex-publish sign-raw-ecdsa: the raw r||s form the launcher verifies,
checked against the public blob the launcher compiles in."""
import pathlib
import struct
import subprocess
import sys

import pytest
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

ROOT = pathlib.Path(__file__).resolve().parents[2]
TOOL = ROOT / "tools" / "orvex_ops" / "publish.py"
DEV = ROOT / "testdata" / "dev"


def blob_public_key(blob: bytes) -> ec.EllipticCurvePublicKey:
    magic, length = struct.unpack("<2I", blob[:8])
    assert magic == 0x31534345 and length == 32 and len(blob) == 72
    x = int.from_bytes(blob[8:40], "big")
    y = int.from_bytes(blob[40:72], "big")
    return ec.EllipticCurvePublicNumbers(x, y, ec.SECP256R1()).public_key()


def run(*args):
    return subprocess.run([sys.executable, str(TOOL), *args], capture_output=True, text=True)


def test_signature_is_raw_and_verifies_under_the_pinned_blob(tmp_path):
    data = tmp_path / "manifest"
    data.write_bytes(b"ORVEX client manifest\n\x00\xff")
    assert run("sign-raw-ecdsa", "--key", str(DEV / "manifest-private.pem"), str(data)).returncode == 0
    signature = (tmp_path / "manifest.sig").read_bytes()
    assert len(signature) == 64
    key = blob_public_key((DEV / "manifest-key.blob").read_bytes())
    der = encode_dss_signature(int.from_bytes(signature[:32], "big"), int.from_bytes(signature[32:], "big"))
    key.verify(der, data.read_bytes(), ec.ECDSA(hashes.SHA256()))
    with pytest.raises(InvalidSignature):
        key.verify(der, data.read_bytes() + b"x", ec.ECDSA(hashes.SHA256()))


def test_out_option_and_wrong_key_type(tmp_path):
    data = tmp_path / "f"
    data.write_bytes(b"x")
    out = tmp_path / "custom.sig"
    assert run("sign-raw-ecdsa", "--key", str(DEV / "manifest-private.pem"), "--out", str(out), str(data)).returncode == 0
    assert len(out.read_bytes()) == 64
    result = run("sign-raw-ecdsa", "--key", str(DEV / "update-private.pem"), "--out", str(tmp_path / "no"), str(data))
    assert result.returncode == 2
    assert "P-256" in result.stderr
    assert not (tmp_path / "no").exists()
