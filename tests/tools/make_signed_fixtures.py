#!/usr/bin/env python3
"""Signed fixtures for the Win32 digest and manifest tests.

Every signature is made by the publisher tool itself (tools/orvex_ops/publish.py,
through its command line), so the tests check BCrypt against an independent
implementation of the same formats.
"""
import argparse
import hashlib
import pathlib
import struct
import subprocess
import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec


def good_manifest() -> bytes:
    archive = hashlib.sha256(b"archive bytes").hexdigest()
    a = hashlib.sha256(b"first file").hexdigest()
    b = hashlib.sha256(b"").hexdigest()
    lines = [
        "ORVEX-UPDATE-1",
        "version\t2385",
        "archive\tpatch2385.zip",
        f"archive_sha256\t{archive}",
        "archive_size\t123456",
        "files\t2",
        f"{a}\t10\tData/Item.tbl",
        f"{b}\t0\tORVEX/empty.dat",
    ]
    return ("\n".join(lines) + "\n").encode("ascii")


# A client tree with exactly seven start-up files (the fewest a startup manifest
# may list) and two data tables, one spelled in upper case.
CLIENT_TREE = {
    "launcher.EXE": b"MZ launcher",
    "D3DX9_43.dll": b"MZ d3dx",
    "Vantrell.exe": b"MZ game",
    "bin/Launcher.exe": b"MZ not the root launcher",
    "ORVEX/Launcher/ui.dat": b"launcher ui",
    "ORVEX/Launcher/empty.dat": b"",
    "ORVEXGuard.exe": b"MZ guard",
    "DATA/Item.TBL": b"item table",
    "data/skill.tbl": b"skill table" * 100,
    "Server.ini": b"[Version]\r\nFiles=2385\r\n",
}


def manifest_entry(name: str, data: bytes) -> bytes:
    encoded = name.encode("ascii")
    return struct.pack("<H", len(encoded)) + encoded + struct.pack("<Q", len(data)) + hashlib.sha256(data).digest()


def startup_body(names) -> bytes:
    return b"ORBOOT03" + struct.pack("<I", len(names)) + b"".join(manifest_entry(n, n.encode()) for n in names)


def integrity_body(stamp: int, names) -> bytes:
    return (b"ORVEXTB1" + struct.pack("<II", stamp, len(names)) +
            b"".join(manifest_entry(n, n.encode()) for n in names))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--publish", required=True, help="path of tools/orvex_ops/publish.py")
    parser.add_argument("--keys", required=True, help="folder with update-private.pem and manifest-private.pem")
    parser.add_argument("--out", required=True, help="output folder")
    args = parser.parse_args()

    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    keys = pathlib.Path(args.keys)

    def publish(*command: str) -> None:
        subprocess.run([sys.executable, args.publish, *command], check=True)

    def sign_update(name: str, data: bytes) -> None:
        (out / name).write_bytes(data)
        publish("sign-update", "--key", str(keys / "update-private.pem"), "--out", str(out / (name + ".sig")),
                str(out / name))

    good = good_manifest()
    # Every byte value, so that the signature covers NUL, CR and high bytes.
    sign_update("message.bin", bytes(range(256)) * 5 + b"ORVEX")
    sign_update("manifest-good", good)
    sign_update("manifest-crlf", good.replace(b"\n", b"\r\n"))
    sign_update("manifest-trailing", good + b"\n")
    sign_update("manifest-server-ini", good.replace(b"ORVEX/empty.dat", b"Server.ini"))

    (out / "blob.bin").write_bytes(b"ORVEX client manifest body\n" * 40)
    publish("sign-raw-ecdsa", "--key", str(keys / "manifest-private.pem"), "--out", str(out / "blob.bin.sig"),
            str(out / "blob.bin"))

    # Client manifests: a sound pair made by make-client-manifests from a tree,
    # the same pair under a key the launcher does not pin, and bodies that are
    # correctly signed (sign-raw-ecdsa) but break a rule of the format.
    tree = out / "client-tree"
    for name, data in CLIENT_TREE.items():
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).write_bytes(data)
    publish("make-client-manifests", "--tree", str(tree), "--out", str(out / "client"),
            "--key", str(keys / "manifest-private.pem"), "--build-stamp", "2026111501")
    other_key = ec.generate_private_key(ec.SECP256R1())
    (out / "other-manifest-key.pem").write_bytes(other_key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    publish("make-client-manifests", "--tree", str(tree), "--out", str(out / "client-other-key"),
            "--key", str(out / "other-manifest-key.pem"))

    def sign_manifest(name: str, body: bytes) -> None:
        (out / (name + ".body")).write_bytes(body)
        publish("sign-raw-ecdsa", "--key", str(keys / "manifest-private.pem"), "--out", str(out / (name + ".sig")),
                str(out / (name + ".body")))
        (out / name).write_bytes(body + (out / (name + ".sig")).read_bytes())

    seven = ["Launcher.exe", "a", "b", "c", "d", "e", "f"]
    sign_manifest("startup-seven", startup_body(seven))
    sign_manifest("startup-six", startup_body(seven[:6]))
    # The signature covers one byte after the last entry: 65 bytes follow the entries.
    sign_manifest("startup-extra-byte", startup_body(seven) + b"\0")
    sign_manifest("startup-nested-launcher", startup_body(["bin/Launcher.exe"] + seven[1:]))
    sign_manifest("integrity-table", integrity_body(2026111501, ["DATA/Item.TBL"]))
    sign_manifest("integrity-old-stamp", integrity_body(2026111500, ["data/item.tbl"]))
    sign_manifest("integrity-case-repeat", integrity_body(2026111501, ["DATA/Item.TBL", "data/item.tbl"]))
    sign_manifest("integrity-nested", integrity_body(2026111501, ["data/sub/item.tbl"]))
    # The right key in the DER form of the signature (70 to 72 bytes) instead of raw r||s.
    good_body = (out / "client" / "ORVEX" / "Startup.manifest").read_bytes()[:-64]
    private = serialization.load_pem_private_key((keys / "manifest-private.pem").read_bytes(), password=None)
    (out / "startup-der").write_bytes(good_body + private.sign(good_body, ec.ECDSA(hashes.SHA256())))

    (out / "stamp").write_text("ok\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
