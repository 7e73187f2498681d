"""Publisher tools for ORVEX client updates.

This is deliberately an independent implementation of the key and signature
formats the launcher checks with BCrypt: a layout mistake on one side shows up
as a failed verification instead of hiding itself.

Commands:
  keygen       RSA-3072 update key and P-256 manifest key, private PEMs and
               the two public-key blobs the launcher compiles in
  devcert      self-signed TLS certificate for a loopback patch endpoint and
               the SHA-256 pin of its DER encoding
  devca        development certificate authority and a loopback server
               certificate it issues (for a test Wine prefix that trusts it)
  sign-update  raw 384-byte RSA PKCS#1 v1.5 SHA-256 signature of a manifest
  sign-raw-ecdsa
               raw 64-byte ECDSA P-256 SHA-256 signature (r then s, big-endian,
               not DER) of a file, the form the signed client manifests carry
  make-update  signed update from an old and a new client tree: patch ZIP
               (delta entries for the game archives), ORVEX-UPDATE-1 manifest
               and its raw signature
  make-offline offline installer layout ORVEX/Patch (PatchKur.exe and the
               signed update as 2384.*) for Patch.zip
  make-client-manifests
               the signed binary client manifests ORVEX/Startup.manifest
               ("ORBOOT03") and ORVEX/Integrity.manifest ("ORVEXTB1") of a tree
  release      everything one version needs, in one new folder of the
               releases folder the patch service serves
  verify       every published file and repair object of a releases folder
               read back; --repair rewrites damaged objects from a good copy
"""
import argparse
import pathlib
import sys

if not __package__:  # run as a file of a checkout: the package is imported from tools/
    sys.path[0] = str(pathlib.Path(__file__).resolve().parents[1])
from orvex_ops import client_manifests, deployment, errors, keys, packages, releases, verify  # noqa: E402


def add_key_commands(sub) -> None:
    """keygen, devcert, devca, sign-update, sign-raw-ecdsa."""
    p = sub.add_parser("keygen", help="generate the update and manifest signing keys and their public blobs")
    p.add_argument("--out", required=True, help="output folder")
    p.set_defaults(func=keys.cmd_keygen)

    p = sub.add_parser("devcert", help="self-signed loopback TLS certificate and its SHA-256 pin")
    p.add_argument("--out", required=True, help="output folder")
    p.add_argument("--host", default="127.0.0.1", help="common name (default 127.0.0.1)")
    p.add_argument("--name", default="fallback", help="file name stem (default fallback)")
    p.set_defaults(func=keys.cmd_devcert)

    p = sub.add_parser("devca", help="development CA and a loopback server certificate issued by it")
    p.add_argument("--out", required=True, help="output folder")
    p.add_argument("--host", default="127.0.0.1", help="common name of the server certificate (default 127.0.0.1)")
    p.add_argument("--name", default="cdn", help="file name stem of the server certificate (default cdn)")
    p.add_argument("--ca-name", default="ORVEX Development Test CA", help="common name of the CA")
    p.set_defaults(func=keys.cmd_devca)

    p = sub.add_parser("sign-update", help="sign an update manifest (raw 384-byte RSA signature)")
    p.add_argument("--key", required=True, help="update-private.pem")
    p.add_argument("--out", help="signature file (default: manifest path + .sig)")
    p.add_argument("manifest", help="manifest file to sign")
    p.set_defaults(func=keys.cmd_sign_update)

    p = sub.add_parser("sign-raw-ecdsa", help="sign a file with the P-256 manifest key (raw 64-byte r||s signature)")
    p.add_argument("--key", required=True, help="manifest-private.pem")
    p.add_argument("--out", help="signature file (default: file path + .sig)")
    p.add_argument("file", help="file to sign")
    p.set_defaults(func=keys.cmd_sign_raw_ecdsa)


def add_package_commands(sub) -> None:
    """make-update, make-offline, make-client-manifests."""
    p = sub.add_parser(
        "make-update", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="signed update (manifest, signature, patch ZIP) from an old and a new client tree",
        description="Compares two client trees and writes, into --out, the patch archive of every file that\n"
                    "is new or changed (stored or deflated per file), the update manifest ORVEX-UPDATE-1 that\n"
                    "lists them with sizes and SHA-256, and its raw 384-byte signature. A changed game archive\n"
                    "(ui/ui.src, fx/fx.src, object/object.src, item/item.src) travels as a .ord delta entry\n"
                    "when that is smaller than the whole file.",
        epilog="outputs: OUT/N.manifest, OUT/N.manifest.sig, OUT/N.zip (see --manifest-name, --archive-name)\n"
               "left out: the protected root settings files and the .orvex-update folder;\n"
               "refused: names the launcher refuses, case collisions, a changed root Launcher.exe")
    p.add_argument("--old", required=True, help="the client tree players have now")
    p.add_argument("--new", required=True, help="the client tree after the update")
    p.add_argument("--version", required=True, type=int, help="client version the update produces (1-32767)")
    p.add_argument("--key", required=True, help="update-private.pem (RSA-3072)")
    p.add_argument("--out", required=True, help="output folder")
    p.add_argument("--archive-name", help="patch archive file name (default N.zip)")
    p.add_argument("--manifest-name", help="manifest file name (default N.manifest; signature: name + .sig)")
    packing = p.add_mutually_exclusive_group()
    packing.add_argument("--store", dest="compression", action="store_const", const="store",
                         help="store every entry uncompressed")
    packing.add_argument("--deflate", dest="compression", action="store_const", const="deflate",
                         help="deflate every entry (default: deflate each entry only when that shrinks it)")
    p.set_defaults(compression="auto")
    deltas = p.add_mutually_exclusive_group()
    deltas.add_argument("--no-delta", action="store_true", help="always ship whole game archives")
    deltas.add_argument("--force-delta", action="store_true",
                        help="use a delta for every changed game archive that has a base, even when not smaller")
    p.add_argument("--sign-with", metavar="PEM",
                   help="sign with this RSA-3072 key instead of --key (test packages with a foreign signature)")
    p.set_defaults(func=packages.cmd_make_update)

    p = sub.add_parser(
        "make-offline", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="lay out the offline installer (ORVEX/Patch with PatchKur.exe) for a signed update",
        description="Copies a signed update made by make-update and the launcher into the layout the offline\n"
                    "installer expects under --out (a client folder, or the root of Patch.zip):\n"
                    + "".join(f"  {name:31} {role}\n" for name, role in (
                        (f"ORVEX/Patch/{packages.OFFLINE_INSTALLER}", "copy of the launcher"),
                        (f"ORVEX/Patch/{packages.OFFLINE_VERSION}.manifest", "the signed manifest"),
                        (f"ORVEX/Patch/{packages.OFFLINE_VERSION}.manifest.sig", "its signature"),
                        (f"ORVEX/Patch/{packages.OFFLINE_VERSION}.zip", "the patch archive"),
                        (packages.OFFLINE_SCRIPT, "starts the installer")))
                    + "The manifest is read back and the archive checked against it first.")
    p.add_argument("--update-dir", required=True, help="folder written by make-update")
    p.add_argument("--launcher", required=True, help="Launcher.exe to ship as PatchKur.exe")
    p.add_argument("--out", required=True, help="client folder or root of the offline package")
    p.add_argument("--manifest-name", default=f"{packages.OFFLINE_VERSION}.manifest",
                   help=f"manifest in --update-dir (default {packages.OFFLINE_VERSION}.manifest)")
    p.add_argument("--verify-key", metavar="PEM", help="also verify the signature with this update key")
    p.add_argument("--zip", metavar="PATCH_ZIP", help="also pack the layout into this archive (Patch.zip)")
    p.add_argument("--allow-version-mismatch", action="store_true",
                   help=f"ship a manifest for another version than {packages.OFFLINE_VERSION} (test packages)")
    p.set_defaults(func=packages.cmd_make_offline)

    p = sub.add_parser(
        "make-client-manifests", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="signed client manifests ORVEX/Startup.manifest and ORVEX/Integrity.manifest of a client tree",
        description="Lists every file of --tree with its size and SHA-256 and writes, under --out/ORVEX, the\n"
                    "two binary client manifests, each signed with the P-256 manifest key (raw 64-byte r||s\n"
                    "over everything before it):\n"
                    "  Startup.manifest    \"ORBOOT03\": every file except the data tables (7 to 30000)\n"
                    "  Integrity.manifest  \"ORVEXTB1\": the tables directly under data/ named *.tbl (1 to 4096)\n"
                    "Files are listed by name, ASCII case ignored; the two manifests themselves, the protected\n"
                    "root settings files and the .orvex-update folder are left out.",
        epilog="refused: fewer than 7 start-up files, no data table, a name the launcher refuses, case\n"
               "collisions, sizes beyond the launcher's limits")
    p.add_argument("--tree", required=True, help="the client tree to describe")
    p.add_argument("--out", required=True, help="folder that receives ORVEX/Startup.manifest and ORVEX/Integrity.manifest")
    p.add_argument("--key", default=str(client_manifests.DEV_MANIFEST_KEY),
                   help="P-256 manifest-private.pem (default: the development key testdata/dev/manifest-private.pem)")
    p.add_argument("--build-stamp", type=int, default=client_manifests.INTEGRITY_MIN_BUILD_STAMP,
                   help="build stamp of the integrity manifest "
                        f"(at least {client_manifests.INTEGRITY_MIN_BUILD_STAMP}, the default)")
    p.add_argument("--exclude", action="append", metavar="PATTERN",
                   help="leave out files whose name matches this glob, ASCII case ignored (repeatable)")
    p.set_defaults(func=client_manifests.cmd_make_client_manifests)


def add_release_commands(sub) -> None:
    """release, verify, check-deployment."""
    p = sub.add_parser(
        "release", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="everything one version needs, in one new release folder OUT/VERSION",
        description="Writes OUT/VERSION (and refuses when it exists: a published version is never rewritten):\n"
                    "  N.manifest, N.manifest.sig, N.zip   the patch from --previous (deltas where smaller)\n"
                    "  metadata-v4-N.manifest, .sig, .zip  the metadata package: the two client manifests\n"
                    "  client/ORVEX/Startup.manifest, client/ORVEX/Integrity.manifest\n"
                    "                                      the signed client manifests of the new tree\n"
                    "  client-in-patch/ORVEX/...           with --next-*-key: those the patch carries, signed\n"
                    "                                      with the keys of the installed launchers\n"
                    "  N.catalogue, objects/<sha256>       the repair catalogue and its content-addressed objects\n"
                    "  offline/Patch.zip                   the offline bundle (with --offline-launcher)\n"
                    "  release.json                        what was written (sizes and SHA-256)\n"
                    "Everything is read back with the launcher's rules before the folder appears under its\n"
                    "name (one rename); orvex-patch-service serves OUT. With OUT/PREVIOUS published, --old\n"
                    "must be exactly the client its signed client manifests list. --launcher and\n"
                    "--offline-launcher must be x86-64 GUI executables built with the keys the release is\n"
                    "signed for. One command at a time writes OUT (lock: OUT/.publish.lock).")
    p.add_argument("--old", required=True, help="the client tree of the previous version")
    p.add_argument("--new", required=True, help="the client tree of this version")
    p.add_argument("--previous", required=True, type=int, help="the previous version (the patch applies to it)")
    p.add_argument("--version", required=True, type=int, help="this version (1-32767, above --previous)")
    p.add_argument("--update-key", required=True, help="update-private.pem (RSA-3072)")
    p.add_argument("--manifest-key", required=True, help="manifest-private.pem (P-256)")
    p.add_argument("--update-blob", help="update-key.blob the launcher is built with: refuse a key that differs")
    p.add_argument("--manifest-blob", help="manifest-key.blob the launcher is built with: refuse a key that differs")
    p.add_argument("--out", required=True, help="the releases folder (one subfolder per version)")
    p.add_argument("--build-stamp", type=int, default=client_manifests.INTEGRITY_MIN_BUILD_STAMP,
                   help=f"build stamp of the integrity manifest (default {client_manifests.INTEGRITY_MIN_BUILD_STAMP})")
    p.add_argument("--exclude", action="append", metavar="PATTERN",
                   help="leave files matching this glob out of the client manifests (repeatable)")
    p.add_argument("--offline-launcher", metavar="EXE",
                   help="also write the offline bundle with this Launcher.exe "
                        f"(version {packages.OFFLINE_VERSION} only)")
    p.add_argument("--no-delta", action="store_true", help="always ship whole game archives")
    p.add_argument("--launcher", metavar="EXE",
                   help="a new Launcher.exe for this version: the patch carries it as Launcher2.exe and the signed "
                        "manifests name it as Launcher.exe, so the running launcher swaps it in")
    p.add_argument("--next-update-key", metavar="PEM",
                   help="with --launcher built with other keys: the update key it is built with, which signs the "
                        "metadata package (the patch stays signed with --update-key)")
    p.add_argument("--next-manifest-key", metavar="PEM",
                   help="with --launcher built with other keys: the manifest key it is built with, which signs the "
                        "client manifests of the metadata package (those in the patch: --manifest-key)")
    p.set_defaults(func=releases.cmd_release, compression="auto")

    p = sub.add_parser(
        "verify", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="check every published file and repair object of a releases folder",
        description="Reads every release folder under --out back: each published file against the size and\n"
                    "SHA-256 its release.json records, each signed update's archive against its manifest, each\n"
                    "object of the catalogue present and hashing to its name. Exits 1 naming every mismatch.\n"
                    "With --repair, a damaged or missing object is written anew from a good copy: the same\n"
                    "object of another release, or a file of the --from tree with that SHA-256 (checked before\n"
                    "it is written; a new file renamed into place, so releases sharing the damaged one as a\n"
                    "hard link keep theirs until repaired in turn). Other files are never rewritten: publish\n"
                    "a new version instead.")
    p.add_argument("--out", required=True, help="the releases folder")
    p.add_argument("--repair", action="store_true", help="rewrite damaged or missing objects from a good copy")
    p.add_argument("--from", dest="source", metavar="TREE", help="with --repair: a client tree to take objects from")
    p.set_defaults(func=verify.cmd_verify)

    p = sub.add_parser(
        "check-deployment", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="check the deployment values a launcher build compiles in (CMake runs it at configure time)",
        description="Refuses values that a launcher would silently mishandle: a login host or fallback host\n"
                    "that is not a dotted IPv4 address, a CDN URL that is not https with the path /orvex-patch/,\n"
                    "a patch base URL whose path does not end in /orvex-patch/, a retired URL without port 5443\n"
                    "and the path /patch/, and key files that do not parse as the public-key blobs they claim to\n"
                    "be (RSA-3072 RSAPUBLICBLOB, P-256 ECCPUBLICBLOB). Only the values given are checked.")
    p.add_argument("--login-host", help="ORVEX_LOGIN_HOST")
    p.add_argument("--fallback-host", action="append", help="one entry of ORVEX_FALLBACK_HOSTS (repeatable)")
    p.add_argument("--cdn-url", help="ORVEX_PATCH_CDN_URL")
    p.add_argument("--base-url", help="ORVEX_PATCH_BASE_URL")
    p.add_argument("--retired-url", help="ORVEX_RETIRED_PATCH_URL")
    p.add_argument("--update-key", help="ORVEX_UPDATE_KEY (update-key.blob)")
    p.add_argument("--manifest-key", help="ORVEX_MANIFEST_KEY (manifest-key.blob)")
    p.set_defaults(func=deployment.cmd_check_deployment)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    add_key_commands(sub)
    add_package_commands(sub)
    add_release_commands(sub)

    for name, example in EXAMPLES.items():
        command = sub.choices[name]
        command.formatter_class = argparse.RawDescriptionHelpFormatter
        command.epilog = (command.epilog + "\n\n" if command.epilog else "") + "example:\n  " + example

    for name in ("keygen", "devcert", "devca"):
        keys.add_passphrase_options(sub.choices[name], writes=True)
    for name in ("sign-update", "sign-raw-ecdsa", "make-update", "make-offline", "make-client-manifests", "release"):
        keys.add_passphrase_options(sub.choices[name], writes=False)

    args = parser.parse_args(argv)
    try:
        return args.func(args)
    except errors.PublishError as error:
        print(f"{args.command}: {error}", file=sys.stderr)
        return 2


EXAMPLES = {
    "keygen": "orvex-publish keygen --out keys",
    "devcert": "orvex-publish devcert --out certs --host 127.0.0.1 --name fallback",
    "devca": "orvex-publish devca --out certs --host 127.0.0.1 --name cdn",
    "sign-update": "orvex-publish sign-update --key keys/update-private.pem 2372.manifest",
    "sign-raw-ecdsa": "orvex-publish sign-raw-ecdsa --key keys/manifest-private.pem ORVEX/Startup.manifest",
    "make-update": "orvex-publish make-update --old trees/2371 --new trees/2372 --version 2372 "
                   "--key keys/update-private.pem --out patch-root",
    "make-offline": "orvex-publish make-offline --update-dir updates/2384 --launcher Launcher.exe "
                    "--out offline --zip Patch.zip",
    "make-client-manifests": "orvex-publish make-client-manifests --tree trees/2372 --out trees/2372 "
                             "--key keys/manifest-private.pem",
    "check-deployment": "orvex-publish check-deployment --login-host 203.0.113.5 --cdn-url "
                        "https://cdn.example.com/orvex-patch/ --update-key keys/update-key.blob",
    "verify": "orvex-publish verify --out releases --repair --from trees/2384",
    "release": "orvex-publish release --old trees/2371 --new trees/2372 --previous 2371 --version 2372 "
               "--update-key keys/update-private.pem --manifest-key keys/manifest-private.pem --out releases",
}


if __name__ == "__main__":
    sys.exit(main())
