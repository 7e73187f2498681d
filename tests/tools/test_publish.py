"""make-update and make-offline of tools/orvex_ops/publish.py, read back with
readers written here: the manifest layout, the signature under the public
key, the ZIP entries, and every delta applied to the old file."""
import hashlib
import os
import pathlib
import random
import struct
import subprocess
import sys
import zipfile

import pytest
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

import pe_image

ROOT = pathlib.Path(__file__).resolve().parents[2]
TOOL = ROOT / "tools" / "orvex_ops" / "publish.py"
UPDATE_KEY = ROOT / "testdata" / "dev" / "update-private.pem"
GAME_ARCHIVES = ("ui/ui.src", "fx/fx.src", "object/object.src", "item/item.src")


def run_tool(*args):
    return subprocess.run([sys.executable, str(TOOL), *map(str, args)], capture_output=True, text=True)


def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def write(root: pathlib.Path, relative: str, data: bytes) -> None:
    path = root / relative
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def read_manifest(data: bytes) -> dict:
    """The manifest as the launcher reads it, with every layout rule asserted."""
    assert b"\r" not in data and b"\0" not in data
    assert data.endswith(b"\n") and not data.endswith(b"\n\n")
    lines = data.decode("ascii").split("\n")[:-1]
    assert lines[0] == "ORVEX-UPDATE-1"
    keys = {}
    for line, key in zip(lines[1:6], ("version", "archive", "archive_sha256", "archive_size", "files")):
        name, value = line.split("\t")
        assert name == key
        keys[key] = value
    files = []
    for line in lines[6:]:
        digest, size, path = line.split("\t")
        assert len(digest) == 64 and digest == digest.lower()
        files.append((path, int(size), digest))
    assert int(keys["files"]) == len(files)
    return {"version": int(keys["version"]), "archive": keys["archive"], "archive_sha256": keys["archive_sha256"],
            "archive_size": int(keys["archive_size"]), "files": files}


def apply_delta(base: bytes, delta: bytes, size: int) -> bytes:
    """Rebuilds a target from its base and an ORDELTA1 entry, refusing anything
    the launcher refuses."""
    assert delta[:8] == b"ORDELTA1"
    (count,) = struct.unpack_from("<I", delta, 8)
    assert 1 <= count <= 100000
    position, cursor, out = 12, 0, bytearray()
    for _ in range(count):
        offset, length = struct.unpack_from("<QI", delta, position)
        position += 12
        assert offset >= cursor and length >= 1 and offset + length <= size
        out += base[cursor:offset]
        out += delta[position:position + length]
        assert len(out) == offset + length, "base or delta too short"
        position += length
        cursor = offset + length
    out += base[cursor:size]
    assert len(out) == size, "base too short for the tail"
    assert position == len(delta), "trailing bytes after the last record"
    return bytes(out)


def verifies(signature: bytes, data: bytes, key_path: pathlib.Path, key=None) -> bool:
    key = key or serialization.load_pem_private_key(key_path.read_bytes(), password=None).public_key()
    try:
        key.verify(signature, data, padding.PKCS1v15(), hashes.SHA256())
        return True
    except InvalidSignature:
        return False


@pytest.fixture(scope="module")
def other_key(tmp_path_factory) -> pathlib.Path:
    path = tmp_path_factory.mktemp("keys") / "other-private.pem"
    key = rsa.generate_private_key(public_exponent=65537, key_size=3072)
    path.write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                       serialization.NoEncryption()))
    return path


class Trees:
    """An old client and its next version, with every kind of change."""

    def __init__(self, tmp_path: pathlib.Path):
        rng = random.Random(2384)
        self.old, self.new, self.out = tmp_path / "old", tmp_path / "new", tmp_path / "out"
        ui = rng.randbytes(600 * 1024)
        ui_new = bytearray(ui)
        ui_new[10:20] = b"0123456789"
        ui_new[30:35] = b"close"               # 10 equal bytes from the last change: one record
        ui_new[262140:262150] = b"boundary!!"   # straddles the launcher's copy buffer
        ui_new[500000:500003] = b"abc"
        obj = rng.randbytes(5000)
        old = {
            "Data/Item.tbl": b"old item table",
            "Data/Same.tbl": b"unchanged",
            "ui/ui.src": ui,
            "fx/fx.src": rng.randbytes(2000),
            "object/object.src": obj,
            "Server.ini": b"[Version]\nFiles=2369\n",
            "Gone.dat": b"removed in the new version",
        }
        new = {
            "Data/Item.tbl": b"new item table row\n" * 50,
            "Data/Same.tbl": b"unchanged",
            "Data/Noise.bin": rng.randbytes(3000),
            "Data/Empty.dat": b"",
            "ui/ui.src": bytes(ui_new) + b"grown tail",
            "fx/fx.src": rng.randbytes(2000),          # all new bytes: a delta cannot win
            "object/object.src": obj[:4000],          # cut short: a prefix of the old file
            "item/item.src": rng.randbytes(700),      # no base in the old tree
            "Server.ini": b"[Version]\nFiles=2384\n",  # protected: never shipped
            ".orvex-update/current/journal": b"x",     # the update area: never shipped
        }
        for relative, data in old.items():
            write(self.old, relative, data)
        for relative, data in new.items():
            write(self.new, relative, data)
        self.new_bytes = {k: v for k, v in new.items() if k not in ("Server.ini", ".orvex-update/current/journal")}
        self.old_bytes = old
        self.changed = sorted(k for k in self.new_bytes if old.get(k) != new[k])

    def make(self, *extra, version=2384, out=None):
        out = out or self.out
        return run_tool("make-update", "--old", self.old, "--new", self.new, "--version", version,
                        "--key", UPDATE_KEY, "--out", out, *extra)

    def manifest_bytes(self, name="2384.manifest", out=None) -> bytes:
        return ((out or self.out) / name).read_bytes()


@pytest.fixture
def trees(tmp_path) -> Trees:
    return Trees(tmp_path)


@pytest.fixture
def made(trees) -> Trees:
    result = trees.make()
    assert result.returncode == 0, result.stderr
    return trees


# --- make-update: manifest and signature -----------------------------------

def test_manifest_lists_exactly_the_new_and_changed_files(made):
    manifest = read_manifest(made.manifest_bytes())
    assert manifest["version"] == 2384
    assert manifest["archive"] == "2384.zip"
    assert [path for path, _, _ in manifest["files"]] == made.changed
    for path, size, digest in manifest["files"]:
        assert size == len(made.new_bytes[path]) and digest == sha(made.new_bytes[path])
    assert ("Data/Empty.dat", 0, sha(b"")) in manifest["files"]
    archive = (made.out / "2384.zip").read_bytes()
    assert manifest["archive_size"] == len(archive) and manifest["archive_sha256"] == sha(archive)


def test_protected_unchanged_and_deleted_files_are_not_listed(made):
    listed = {path.lower() for path, _, _ in read_manifest(made.manifest_bytes())["files"]}
    assert not listed & {"server.ini", "data/same.tbl", "gone.dat"}
    assert not any(path.startswith(".orvex-update") for path in listed)


def test_signature_is_raw_rsa_over_the_exact_manifest_bytes(made):
    data = made.manifest_bytes()
    signature = (made.out / "2384.manifest.sig").read_bytes()
    assert len(signature) == 384
    assert verifies(signature, data, UPDATE_KEY)
    tampered = data.replace(b"version\t2384", b"version\t2385")
    assert not verifies(signature, tampered, UPDATE_KEY)


def test_sign_with_a_foreign_key(trees, other_key):
    assert trees.make("--sign-with", other_key).returncode == 0
    data = trees.manifest_bytes()
    signature = (trees.out / "2384.manifest.sig").read_bytes()
    assert not verifies(signature, data, UPDATE_KEY)
    assert verifies(signature, data, other_key)


def test_manifest_and_archive_names(trees):
    result = trees.make("--archive-name", "patch-2384.zip", "--manifest-name", "metadata-v4-2384.manifest")
    assert result.returncode == 0, result.stderr
    manifest = read_manifest(trees.manifest_bytes("metadata-v4-2384.manifest"))
    assert manifest["archive"] == "patch-2384.zip"
    assert (trees.out / "patch-2384.zip").is_file()
    assert (trees.out / "metadata-v4-2384.manifest.sig").stat().st_size == 384


# --- make-update: archive entries and deltas -------------------------------

def test_archive_holds_one_entry_per_listed_file(made):
    with zipfile.ZipFile(made.out / "2384.zip") as archive:
        assert archive.testzip() is None
        infos = archive.infolist()
        names = [info.filename for info in infos]
        expected = sorted(name + ".ord" if name in ("ui/ui.src", "object/object.src") else name
                          for name in made.changed)
        assert sorted(names) == expected
        for info in infos:
            assert not info.is_dir()
            assert (info.external_attr >> 28) != 0xA, "no entry may read as a Unix link"
            if not info.filename.endswith(".ord"):
                assert archive.read(info) == made.new_bytes[info.filename]


def test_each_entry_is_deflated_only_when_that_shrinks_it(made):
    with zipfile.ZipFile(made.out / "2384.zip") as archive:
        method = {info.filename: info.compress_type for info in archive.infolist()}
    assert method["Data/Item.tbl"] == zipfile.ZIP_DEFLATED
    assert method["Data/Noise.bin"] == zipfile.ZIP_STORED
    assert method["Data/Empty.dat"] == zipfile.ZIP_STORED


@pytest.mark.parametrize("switch, method", [("--store", zipfile.ZIP_STORED), ("--deflate", zipfile.ZIP_DEFLATED)])
def test_store_and_deflate_switches_apply_to_every_entry(trees, switch, method):
    assert trees.make(switch).returncode == 0
    with zipfile.ZipFile(trees.out / "2384.zip") as archive:
        assert archive.testzip() is None
        assert {info.compress_type for info in archive.infolist()} == {method}


def test_deltas_are_chosen_only_when_smaller_and_rebuild_the_new_file(made):
    manifest = {path: size for path, size, _ in read_manifest(made.manifest_bytes())["files"]}
    with zipfile.ZipFile(made.out / "2384.zip") as archive:
        deltas = {info.filename[:-4]: archive.read(info) for info in archive.infolist()
                  if info.filename.endswith(".ord")}
    assert set(deltas) == {"ui/ui.src", "object/object.src"}
    for target, delta in deltas.items():
        size = manifest[target]
        assert 24 <= len(delta) < size
        assert apply_delta(made.old_bytes[target], delta, size) == made.new_bytes[target]
    # Nearby changes share a record: 10-35 (with 10 equal bytes inside), two
    # more edits and the grown tail.
    assert struct.unpack_from("<I", deltas["ui/ui.src"], 8)[0] == 4
    # A pure cut needs one record all the same (the launcher refuses a count of 0).
    assert struct.unpack_from("<I", deltas["object/object.src"], 8)[0] == 1


def test_no_delta_ships_whole_archives(trees):
    assert trees.make("--no-delta").returncode == 0
    with zipfile.ZipFile(trees.out / "2384.zip") as archive:
        names = archive.namelist()
    assert not any(name.endswith(".ord") for name in names)
    assert "ui/ui.src" in names


def test_force_delta_still_yields_a_valid_delta(trees):
    assert trees.make("--force-delta").returncode == 0
    with zipfile.ZipFile(trees.out / "2384.zip") as archive:
        delta = archive.read("fx/fx.src.ord")
        assert "item/item.src" in archive.namelist()  # nothing to diff against
    assert len(delta) >= len(trees.new_bytes["fx/fx.src"])
    assert apply_delta(trees.old_bytes["fx/fx.src"], delta, 2000) == trees.new_bytes["fx/fx.src"]


def test_delta_never_exceeds_the_record_limit(tmp_path):
    # One changed byte in every 16: 131072 ranges that 12-byte folding cannot join.
    base = bytes(range(256)) * 8192
    changed = bytearray(base)
    changed[::16] = b"\xff" * len(changed[::16])
    write(tmp_path / "old", "ui/ui.src", base)
    write(tmp_path / "new", "ui/ui.src", bytes(changed))
    result = run_tool("make-update", "--old", tmp_path / "old", "--new", tmp_path / "new", "--version", 7,
                      "--key", UPDATE_KEY, "--out", tmp_path / "out", "--force-delta", "--store")
    assert result.returncode == 0, result.stderr
    with zipfile.ZipFile(tmp_path / "out" / "7.zip") as archive:
        delta = archive.read("ui/ui.src.ord")
    assert struct.unpack_from("<I", delta, 8)[0] <= 100000
    assert apply_delta(base, delta, len(changed)) == bytes(changed)


def test_non_ascii_client_name_is_percent_encoded(trees):
    write(trees.new, "ChrSelect/upc_ka_wt_ma_Y\u00f6netim.v7anim", b"anim")
    assert trees.make().returncode == 0
    paths = [path for path, _, _ in read_manifest(trees.manifest_bytes())["files"]]
    assert "ChrSelect/upc_ka_wt_ma_Y%c3%b6netim.v7anim" in paths
    with zipfile.ZipFile(trees.out / "2384.zip") as archive:
        assert archive.read("ChrSelect/upc_ka_wt_ma_Y%c3%b6netim.v7anim") == b"anim"


# --- make-update: refusals --------------------------------------------------

def refused(trees, *extra, version=2384, message=""):
    result = trees.make(*extra, version=version)
    assert result.returncode == 2, result.stdout
    assert message in result.stderr
    assert not (trees.out / f"{version}.manifest").exists()
    return result


def test_identical_trees_are_refused(tmp_path):
    for tree in ("old", "new"):
        write(tmp_path / tree, "Data/a.tbl", b"same")
    result = run_tool("make-update", "--old", tmp_path / "old", "--new", tmp_path / "new", "--version", 5,
                      "--key", UPDATE_KEY, "--out", tmp_path / "out")
    assert result.returncode == 2 and "no file differs" in result.stderr


@pytest.mark.parametrize("relative", ["Data/con.txt", "Data/bad name ", "Data/a:b", "ORVEX~1/x.dat",
                                      "Data/\u00e7ok.tbl"])
def test_names_the_launcher_refuses(trees, relative):
    write(trees.new, relative, b"x")
    refused(trees, message=relative.split("/")[0])


@pytest.mark.parametrize("relative, message", [
    ("data/item.TBL", "same file on Windows"),
    ("DATA/ITEM.TBL/x", "Data/Item.tbl and the folder DATA/ITEM.TBL/"),  # a folder named like a file
    ("UI", "UI and the folder ui/"),                                     # a file named like a folder
])
def test_case_collision_is_refused(trees, relative, message):
    write(trees.new, relative, b"another spelling")
    refused(trees, message=message)


def test_a_name_that_is_not_utf8_is_skipped_in_the_old_tree_and_refused_in_the_new(trees):
    name = os.fsdecode(b"Data/\xff\xfe.tbl")
    write(trees.old, name, b"old bytes")
    made = trees.make(out=trees.out.parent / "first")
    assert made.returncode == 0 and f"skipped (a name that is not UTF-8): {name!r}" in made.stderr, made.stderr
    write(trees.new, name, b"new bytes")
    result = refused(trees, message=repr(name))
    assert "Traceback" not in result.stderr


def test_running_launcher_is_refused(trees):
    write(trees.new, "Launcher.exe", b"MZ new launcher")
    refused(trees, message="Launcher2.exe")


@pytest.mark.parametrize("version", [0, 32768])
def test_version_out_of_range(trees, version):
    refused(trees, version=version, message="outside 1 to 32767")


@pytest.mark.parametrize("name", [".zip", "patch.ZIP", "dir/patch.zip", "server.ini"])
def test_bad_archive_names(trees, name):
    refused(trees, "--archive-name", name, message="invalid archive name")


# --- make-offline ------------------------------------------------------------

@pytest.fixture
def launcher(tmp_path) -> pathlib.Path:
    path = tmp_path / "Launcher.exe"
    path.write_bytes(pe_image.built_with(ROOT / "testdata" / "dev"))
    return path


def offline(made, launcher, out, *extra):
    return run_tool("make-offline", "--update-dir", made.out, "--launcher", launcher, "--out", out, *extra)


def test_offline_layout(made, launcher, tmp_path):
    client = tmp_path / "client"
    result = offline(made, launcher, client, "--verify-key", UPDATE_KEY)
    assert result.returncode == 0, result.stderr
    patch = client / "ORVEX" / "Patch"
    assert sorted(p.name for p in patch.iterdir()) == ["2384.manifest", "2384.manifest.sig", "2384.zip",
                                                      "PatchKur.exe"]
    assert (patch / "PatchKur.exe").read_bytes() == launcher.read_bytes()
    for name in ("2384.manifest", "2384.manifest.sig", "2384.zip"):
        assert (patch / name).read_bytes() == (made.out / name).read_bytes()
    script = (client / "PATCH_KUR.cmd").read_bytes()
    assert b"ORVEX\\Patch\\PatchKur.exe" in script and b"\r\n" in script and b"\n" not in script.replace(b"\r\n", b"")


def test_offline_archive_takes_the_installer_name(trees, launcher, tmp_path):
    assert trees.make("--archive-name", "patch-2384.zip").returncode == 0
    result = offline(trees, launcher, tmp_path / "client")
    assert result.returncode == 0, result.stderr
    copied = (tmp_path / "client" / "ORVEX" / "Patch" / "2384.zip").read_bytes()
    assert copied == (trees.out / "patch-2384.zip").read_bytes()


def test_offline_patch_zip(made, launcher, tmp_path):
    result = offline(made, launcher, tmp_path / "root", "--zip", tmp_path / "Patch.zip")
    assert result.returncode == 0, result.stderr
    with zipfile.ZipFile(tmp_path / "Patch.zip") as archive:
        assert archive.testzip() is None
        assert sorted(archive.namelist()) == ["ORVEX/Patch/2384.manifest", "ORVEX/Patch/2384.manifest.sig",
                                              "ORVEX/Patch/2384.zip", "ORVEX/Patch/PatchKur.exe", "PATCH_KUR.cmd"]
        assert archive.read("ORVEX/Patch/2384.zip") == (made.out / "2384.zip").read_bytes()


def test_offline_refuses_what_the_installer_would_refuse(made, launcher, tmp_path, other_key):
    assert offline(made, launcher, tmp_path / "a", "--verify-key", other_key).returncode == 2

    archive = made.out / "2384.zip"
    original = archive.read_bytes()
    archive.write_bytes(original[:-1] + bytes([original[-1] ^ 1]))
    result = offline(made, launcher, tmp_path / "b")
    assert result.returncode == 2 and "does not match" in result.stderr
    archive.write_bytes(original)

    # The installer is the launcher: an image Windows starts, built with the update key.
    for name, data, extra, message in (
            ("notes.txt", b"hello", [], "no MZ header"),
            ("helper.dll", pe_image.image(characteristics=0x2022), [], "a DLL"),
            ("other-keys.exe", pe_image.image(b"other keys"), ["--verify-key", UPDATE_KEY],
             "not built with the update key")):
        (tmp_path / name).write_bytes(data)
        result = offline(made, tmp_path / name, tmp_path / "c", *extra)
        assert result.returncode == 2 and message in result.stderr, result.stderr
        assert not (tmp_path / "c").exists()


def test_offline_installs_version_2384_only(trees, launcher, tmp_path):
    assert trees.make(version=2385, out=tmp_path / "u").returncode == 0
    base = ("make-offline", "--update-dir", tmp_path / "u", "--launcher", launcher, "--manifest-name",
            "2385.manifest")
    result = run_tool(*base, "--out", tmp_path / "a")
    assert result.returncode == 2 and "2384" in result.stderr
    assert run_tool(*base, "--out", tmp_path / "b", "--allow-version-mismatch").returncode == 0
    assert (tmp_path / "b" / "ORVEX" / "Patch" / "2384.manifest").read_bytes() == \
        (tmp_path / "u" / "2385.manifest").read_bytes()


# --- the command line ----------------------------------------------------------

@pytest.mark.parametrize("command", ["keygen", "devcert", "devca", "sign-update", "sign-raw-ecdsa", "make-update",
                                     "make-offline", "make-client-manifests", "release", "verify"])
def test_every_command_has_help_with_an_example(command):
    result = run_tool(command, "--help")
    assert result.returncode == 0 and "usage:" in result.stdout
    assert f"example:\n  orvex-publish {command} " in result.stdout


# --- private keys --------------------------------------------------------------

@pytest.mark.parametrize("command, keys", [("keygen", ["update-private.pem", "manifest-private.pem"]),
                                           ("devcert", ["fallback-key.pem"]),
                                           ("devca", ["dev-ca-key.pem", "cdn-key.pem"])])
def test_private_keys_are_the_publishing_accounts_alone_and_encrypted_on_request(tmp_path, command, keys):
    out = tmp_path / "keys"
    out.mkdir()
    (out / keys[0]).write_bytes(b"an older key, readable by all")
    os.chmod(out / keys[0], 0o644)
    environment = dict(os.environ, ORVEX_KEY_PASSPHRASE="correct horse")
    result = subprocess.run(["sh", "-c", f"umask 000 && exec {sys.executable} {TOOL} {command} --out {out} "
                             "--passphrase-env ORVEX_KEY_PASSPHRASE"], capture_output=True, text=True,
                            env=environment)
    assert result.returncode == 0, result.stderr
    for name in keys:
        assert (out / name).stat().st_mode & 0o777 == 0o600, name
        assert b"ENCRYPTED PRIVATE KEY" in (out / name).read_bytes()
    assert sorted(p.name for p in out.iterdir() if p.name.startswith(".")) == []


def test_an_encrypted_key_needs_its_passphrase_and_says_so(tmp_path):
    assert run_tool("keygen", "--out", tmp_path, "--passphrase-env", "ORVEX_UNSET_VARIABLE").returncode == 2
    (tmp_path / "pass").write_text("correct horse\n")
    assert run_tool("keygen", "--out", tmp_path, "--passphrase-file", tmp_path / "pass").returncode == 0
    (tmp_path / "wrong").write_text("battery staple\n")
    (tmp_path / "m").write_bytes(b"manifest")
    sign = ("sign-update", "--key", tmp_path / "update-private.pem", tmp_path / "m")
    for extra, code, message in (([], 2, "is encrypted: give its passphrase"),
                                 (["--passphrase-file", tmp_path / "wrong"], 2, "does not decrypt"),
                                 (["--passphrase-file", tmp_path / "nowhere"], 2, "--passphrase-file"),
                                 (["--passphrase-file", tmp_path / "pass"], 0, "")):
        result = run_tool(*sign[:3], *extra, sign[3])
        assert result.returncode == code and message in result.stderr and "Traceback" not in result.stderr, \
            result.stderr
    assert verifies((tmp_path / "m.sig").read_bytes(), b"manifest", None,
                    serialization.load_pem_private_key((tmp_path / "update-private.pem").read_bytes(),
                                                       b"correct horse").public_key())


# --- check-deployment: the values CMake refuses at configure time --------------

DEV = ROOT / "testdata" / "dev"


def blob_variant(tmp_path, name, source, offset, value):
    data = bytearray((DEV / source).read_bytes())
    data[offset:offset + len(value)] = value
    (tmp_path / name).write_bytes(bytes(data))
    return tmp_path / name


@pytest.mark.parametrize("option, value, message", [
    ("--login-host", "login.example.com", "dotted IPv4"),
    ("--login-host", "10.0.0.256", "dotted IPv4"),
    ("--login-host", "010.0.0.1", "dotted IPv4"),
    ("--fallback-host", "127.0.0", "dotted IPv4"),
    ("--cdn-url", "http://cdn.example.com/orvex-patch/", "https URL"),
    ("--cdn-url", "https://cdn.example.com/orvex-patch", "exactly /orvex-patch/"),
    ("--cdn-url", "https://cdn.example.com/game/orvex-patch/", "exactly /orvex-patch/"),
    ("--cdn-url", "https://user@cdn.example.com/orvex-patch/", "without credentials"),
    ("--base-url", "https://cdn.example.com/orvex-patch/?x=1", "query"),
    ("--base-url", "https://cdn.example.com/patch/", "end in /orvex-patch/"),
    ("--retired-url", "https://203.0.113.10/patch/", "port 5443"),
    ("--retired-url", "https://203.0.113.10:5443/orvex-patch/", "exactly /patch/"),
])
def test_check_deployment_refuses_values_the_launcher_would_mishandle(option, value, message):
    result = run_tool("check-deployment", option, value)
    assert result.returncode == 2 and message in result.stderr, result.stderr


def test_check_deployment_parses_the_key_blobs(tmp_path):
    assert run_tool("check-deployment", "--update-key", DEV / "update-key.blob", "--manifest-key",
                    DEV / "manifest-key.blob", "--login-host", "127.0.0.1", "--cdn-url",
                    "https://127.0.0.1:5444/orvex-patch/", "--retired-url", "https://127.0.0.1:5443/patch/"
                    ).returncode == 0
    # Right sizes, wrong contents: each would be compiled in and then refuse every signature.
    wrong = [("--update-key", DEV / "manifest-key.blob"),
             ("--manifest-key", DEV / "update-key.blob"),
             ("--update-key", blob_variant(tmp_path, "rsa-2048.blob", "update-key.blob", 4, (2048).to_bytes(4, "little"))),
             ("--update-key", blob_variant(tmp_path, "short-modulus.blob", "update-key.blob", 27, b"\0")),
             ("--update-key", blob_variant(tmp_path, "even-exponent.blob", "update-key.blob", 26, b"\x00")),
             ("--manifest-key", blob_variant(tmp_path, "off-curve.blob", "manifest-key.blob", 70, b"\x12\x34")),
             ("--manifest-key", blob_variant(tmp_path, "private.blob", "manifest-key.blob", 0, b"ECS2"))]
    for option, path in wrong:
        result = run_tool("check-deployment", option, path)
        assert result.returncode == 2 and "key" in result.stderr, (path.name, result.stderr)
