"""Launcher images: what --launcher and --offline-launcher must be (a PE32+
Windows GUI executable that embeds the public keys its manifests are
checked with).
"""
import pathlib
import struct

from orvex_ops.errors import PublishError
from orvex_ops.files import human
from orvex_ops.keys import ecc_public_blob, rsa_public_blob


IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000
IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_MEM_EXECUTE = 0x20000000
MAX_LAUNCHER_BYTES = 512 * 1024 ** 2
# The optional header of a PE32+ image up to its data directories.
PE32_PLUS_OPTIONAL_MIN = 112


def launcher_image_problem(data: bytes):
    """What keeps data from being a launcher Windows would start, or None: a
    PE32+ executable image for x86-64, GUI subsystem (the launcher is a window;
    a console image would open a console beside it), with at least one code
    section that has bytes in the file. Every offset is checked against the
    length first: a hostile file fails with a message, never an exception."""
    def u16(offset):
        return struct.unpack_from("<H", data, offset)[0] if offset + 2 <= len(data) else None

    def u32(offset):
        return struct.unpack_from("<I", data, offset)[0] if offset + 4 <= len(data) else None

    if len(data) < 64 or data[:2] != b"MZ":
        return "not a Windows executable (no MZ header)"
    pe = u32(0x3C)
    if pe < 64 or pe + 24 > len(data) or data[pe:pe + 4] != b"PE\0\0":
        return "no PE header (an MZ file but not a Windows image)"
    machine, sections, optional_size, characteristics = u16(pe + 4), u16(pe + 6), u16(pe + 20), u16(pe + 22)
    if machine != IMAGE_FILE_MACHINE_AMD64:
        return f"built for machine 0x{machine:04x}, not x86-64 (0x8664)"
    if not characteristics & IMAGE_FILE_EXECUTABLE_IMAGE:
        return "not marked as an executable image"
    if characteristics & IMAGE_FILE_DLL:
        return "a DLL, not an executable"
    optional = pe + 24
    if optional_size < PE32_PLUS_OPTIONAL_MIN or optional + optional_size > len(data):
        return "truncated optional header"
    if u16(optional) != PE32_PLUS_MAGIC:
        return f"optional header magic 0x{u16(optional):x}, not PE32+ (0x20b)"
    subsystem = u16(optional + 68)
    if subsystem != IMAGE_SUBSYSTEM_WINDOWS_GUI:
        return f"subsystem {subsystem}, not the Windows GUI subsystem (2)"
    table = optional + optional_size
    if not 1 <= sections <= 96 or table + 40 * sections > len(data):
        return "truncated or empty section table"
    for index in range(sections):
        entry = table + 40 * index
        raw_size, raw_pointer, flags = u32(entry + 16), u32(entry + 20), u32(entry + 36)
        if flags & (IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE) and raw_size > 0 and raw_pointer > 0 \
                and raw_pointer + raw_size <= len(data):
            return None
    return "no code section with bytes in the file (a debug-information image?)"


def embeds_key_blob(data: bytes, blob: bytes) -> bool:
    """The launcher compiles each public-key blob in as a byte array. The
    compiler keeps it as one run of bytes or, for a small array, builds it from
    64-bit immediates in the code: every aligned 8-byte piece then appears in
    the image on its own."""
    if blob in data:
        return True
    return all(blob[start:start + 8] in data for start in range(0, len(blob), 8))


def check_launcher_image(path, option: str, update_public=None, manifest_public=None) -> bytes:
    """The bytes of a launcher image given with option; PublishError names the
    file and what is wrong with it, including a missing public key (given
    keys only)."""
    path = pathlib.Path(path)
    try:
        if not path.is_file():
            raise PublishError(f"{option} {path}: no such file")
        if path.stat().st_size > MAX_LAUNCHER_BYTES:
            raise PublishError(f"{option} {path}: larger than {human(MAX_LAUNCHER_BYTES)}, not a launcher")
        data = path.read_bytes()
    except OSError as error:
        raise PublishError(f"{option} {path}: {error.strerror}") from None
    problem = launcher_image_problem(data)
    if problem:
        raise PublishError(f"{option} {path} is not a launcher Windows can start: {problem}")
    for kind, public, blob_of in (("update", update_public, rsa_public_blob),
                                  ("manifest", manifest_public, ecc_public_blob)):
        if public is not None and not embeds_key_blob(data, blob_of(public)):
            raise PublishError(f"{option} {path} is not built with the {kind} key this release is signed for "
                               f"(its {kind}-key.blob is not in the image)")
    return data
