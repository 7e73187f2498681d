#!/usr/bin/env python3
"""Signed fixtures for the Win32 digest and manifest tests.

Every signature is made by the publisher tool itself (tools/orvex_publish.py,
through its command line), so the tests check BCrypt against an independent
implementation of the same formats.
"""
import argparse
import hashlib
import pathlib
import subprocess
import sys


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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--publish", required=True, help="path of tools/orvex_publish.py")
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

    (out / "stamp").write_text("ok\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
