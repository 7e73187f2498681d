"""A small PE32+ image for the publisher's launcher checks: DOS header, PE
header, one code section and one data section holding the public-key blobs
the launcher would be built with. Fields can be overridden to make each kind
of wrong image.

    pe_image.py KEYS_FOLDER OUT   writes an image built with KEYS_FOLDER's blobs
"""
import pathlib
import struct
import sys

PE_OFFSET = 0x80
SECTION_ALIGN, FILE_ALIGN = 0x1000, 0x200


def image(*blobs, machine=0x8664, characteristics=0x0022, magic=0x20B, subsystem=2,
          code_flags=0x60000020, code_size=FILE_ALIGN, sections=2):
    data = b"".join(blobs) or b"\0"
    data += bytes(-len(data) % FILE_ALIGN)
    optional = bytearray(240)
    struct.pack_into("<H", optional, 0, magic)
    struct.pack_into("<I", optional, 16, 0x1000)                 # entry point
    struct.pack_into("<Q", optional, 24, 0x140000000)            # image base
    struct.pack_into("<II", optional, 32, SECTION_ALIGN, FILE_ALIGN)
    struct.pack_into("<I", optional, 56, 0x3000)                 # size of image
    struct.pack_into("<I", optional, 60, 0x400)                  # size of headers
    struct.pack_into("<H", optional, 68, subsystem)
    struct.pack_into("<I", optional, 108, 16)                    # data directories
    headers = bytearray(0x400)
    headers[:2] = b"MZ"
    struct.pack_into("<I", headers, 0x3C, PE_OFFSET)
    headers[PE_OFFSET:PE_OFFSET + 4] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", headers, PE_OFFSET + 4, machine, sections, 0, 0, 0, len(optional),
                     characteristics)
    table = PE_OFFSET + 24 + len(optional)
    headers[PE_OFFSET + 24:table] = optional
    code = b"\xc3" + bytes(code_size - 1) if code_size else b""
    layout = [(b".text", code, code_flags), (b".rdata", data, 0x40000040)]
    pointer = len(headers)
    for index, (name, body, flags) in enumerate(layout[:sections]):
        struct.pack_into("<8sIIIIIIHHI", headers, table + 40 * index, name, max(len(body), 1),
                         0x1000 * (index + 1), len(body), pointer if body else 0, 0, 0, 0, 0, flags)
        pointer += len(body)
    return bytes(headers) + b"".join(body for _, body, _ in layout[:sections])


def built_with(keys: pathlib.Path) -> bytes:
    """An image embedding keys/update-key.blob and keys/manifest-key.blob."""
    return image((keys / "update-key.blob").read_bytes(), (keys / "manifest-key.blob").read_bytes())


if __name__ == "__main__":
    out = pathlib.Path(sys.argv[2])
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_bytes(built_with(pathlib.Path(sys.argv[1])))
