"""Delta entries (".ord", "ORDELTA1") for the game archives: the byte ranges
that changed between an old and a new file, written as a delta and applied
back as the launcher applies them.
"""
import pathlib
import re
import struct

from orvex_ops.errors import PublishError
from orvex_ops.files import COPY_CHUNK


DELTA_TARGETS = ("ui/ui.src", "fx/fx.src", "object/object.src", "item/item.src")
DELTA_SUFFIX = ".ord"
DELTA_MAGIC = b"ORDELTA1"
DELTA_RECORD = struct.Struct("<QI")  # offset in the target, length of the new bytes
DELTA_MAX_RECORDS = 100000
DELTA_MAX_RANGE = 0xFFFFFFFF
DELTA_MIN_ENTRY = 24
DELTA_SLACK = 2 * 1024 ** 2


def changed_ranges(old_path: pathlib.Path, new_path: pathlib.Path, new_size: int, gap: int = DELTA_RECORD.size):
    """[offset, end) ranges of the new file that differ from the old one, the
    old file's missing tail included. Equal stretches of at most gap bytes stay
    inside a range: a separate record would cost its 12-byte header anyway."""
    ranges = []

    def add(start: int, end: int) -> None:
        if ranges and start - ranges[-1][1] <= gap:
            ranges[-1][1] = end
        else:
            ranges.append([start, end])

    long_equal = re.compile(b"\x00{%d,}" % (gap + 1))
    with open(old_path, "rb") as old, open(new_path, "rb") as new:
        offset = 0
        while offset < new_size:
            b = new.read(min(COPY_CHUNK, new_size - offset))
            if not b:
                raise PublishError(f"{new_path} changed while it was read")
            a = old.read(len(b))
            if a != b:
                # XOR of the common part: zero bytes are equal bytes.
                x = (int.from_bytes(a, "little") ^ int.from_bytes(b[:len(a)], "little")).to_bytes(len(a), "little")
                position = 0
                for match in list(long_equal.finditer(x)) + [None]:
                    end = match.start() if match else len(x)
                    part = x[position:end]
                    lead = len(part) - len(part.lstrip(b"\0"))
                    trail = len(part) - len(part.rstrip(b"\0"))
                    if lead < len(part):
                        add(offset + position + lead, offset + end - trail)
                    position = match.end() if match else len(x)
                if len(a) < len(b):
                    add(offset + len(a), offset + len(b))
            offset += len(b)
    # A new file that is a prefix of the old one still needs one record.
    if not ranges and new_size > 0:
        ranges.append([new_size - 1, new_size])
    split = []
    for start, end in ranges:
        while end - start > DELTA_MAX_RANGE:
            split.append((start, DELTA_MAX_RANGE))
            start += DELTA_MAX_RANGE
        split.append((start, end - start))
    return split


def fit_record_count(ranges):
    """Merges neighbouring ranges, closest first by doubling the allowed gap,
    until the delta has no more records than the launcher reads."""
    gap = DELTA_RECORD.size
    while len(ranges) > DELTA_MAX_RECORDS:
        gap *= 2
        merged = []
        for offset, length in ranges:
            if merged and offset - (merged[-1][0] + merged[-1][1]) <= gap \
                    and offset + length - merged[-1][0] <= DELTA_MAX_RANGE:
                merged[-1][1] = offset + length - merged[-1][0]
            else:
                merged.append([offset, length])
        ranges = [tuple(r) for r in merged]
    return ranges


def delta_size(ranges) -> int:
    return len(DELTA_MAGIC) + 4 + sum(DELTA_RECORD.size + length for _, length in ranges)


def write_delta(new_path: pathlib.Path, ranges, out_path: pathlib.Path) -> None:
    """"ORDELTA1", the record count, then per range its offset, length and the
    new bytes; integers little-endian."""
    with open(new_path, "rb") as new, open(out_path, "wb") as out:
        out.write(DELTA_MAGIC + struct.pack("<I", len(ranges)))
        for offset, length in ranges:
            out.write(DELTA_RECORD.pack(offset, length))
            new.seek(offset)
            while length:
                chunk = new.read(min(COPY_CHUNK, length))
                if not chunk:
                    raise PublishError(f"{new_path} changed while it was read")
                out.write(chunk)
                length -= len(chunk)


def apply_delta_file(base: pathlib.Path, delta: bytes, size: int) -> bytes:
    """The file an ORDELTA1 entry rebuilds from base (whole in memory: only
    used to check a release, whose game archives are rebuilt here once)."""
    if delta[:8] != DELTA_MAGIC or len(delta) < DELTA_MIN_ENTRY - DELTA_RECORD.size:
        raise PublishError("delta entry has no ORDELTA1 header")
    (count,) = struct.unpack_from("<I", delta, 8)
    if not 1 <= count <= DELTA_MAX_RECORDS:
        raise PublishError("delta entry has too many records")
    target = bytearray(base.read_bytes()[:size])
    target += bytes(size - len(target))
    offset = 12
    for _ in range(count):
        start, length = DELTA_RECORD.unpack_from(delta, offset)
        offset += DELTA_RECORD.size
        if start + length > size or offset + length > len(delta):
            raise PublishError("delta record reaches past its target or entry")
        target[start:start + length] = delta[offset:offset + length]
        offset += length
    if offset != len(delta):
        raise PublishError("delta entry has trailing bytes")
    return bytes(target)
