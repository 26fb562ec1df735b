#!/usr/bin/env python3
"""make_big_evtx.py SAMPLE.evtx OUT.evtx MEGABYTES [damaged]

Writes an .evtx log of about MEGABYTES made of SAMPLE's used chunks, repeated
in order, each copy's record identifiers moved up past the previous copy's so
that they stay unique and ordered. The chunk and file headers follow the new
identifiers and carry correct CRCs, so that any reader takes the file whole.
With `damaged`, every chunk header is zeros and every tenth record has its
signature spoilt: the reader must search past damage all through the file."""
import struct
import sys
import zlib

HEADER_BLOCK = 0x1000
CHUNK = 0x10000


def used_chunks(image):
    """The sample's chunk slots that hold a chunk, in file order."""
    slots = (len(image) - HEADER_BLOCK) // CHUNK
    chunks = [image[HEADER_BLOCK + n * CHUNK:HEADER_BLOCK + (n + 1) * CHUNK] for n in range(slots)]
    return [bytearray(c) for c in chunks if c[:8] == b"ElfChnk\0"]


def shifted(chunk, shift):
    """A copy of `chunk` with every record identifier, in its header and its records, moved up by `shift`."""
    chunk = bytearray(chunk)
    first_number, last_number, first_id, last_id = struct.unpack_from("<4Q", chunk, 8)
    struct.pack_into("<4Q", chunk, 8, first_number + shift, last_number + shift, first_id + shift, last_id + shift)
    free = struct.unpack_from("<I", chunk, 0x30)[0]
    pos = 0x200
    while pos < free:
        size = struct.unpack_from("<I", chunk, pos + 4)[0]
        record_id = struct.unpack_from("<Q", chunk, pos + 8)[0]
        struct.pack_into("<Q", chunk, pos + 8, record_id + shift)
        pos += size
    struct.pack_into("<I", chunk, 0x34, zlib.crc32(bytes(chunk[0x200:free])))
    struct.pack_into("<I", chunk, 0x7C, zlib.crc32(bytes(chunk[:0x78] + chunk[0x80:0x200])))
    return chunk, last_id + shift


def damaged(chunk):
    """`chunk` with its header zeroed and every tenth record's signature spoilt."""
    chunk = bytearray(chunk)
    free = struct.unpack_from("<I", chunk, 0x30)[0]
    pos, n = 0x200, 0
    while pos < free:
        size = struct.unpack_from("<I", chunk, pos + 4)[0]
        if n % 10 == 9:
            chunk[pos] = ord("X")
        pos, n = pos + size, n + 1
    chunk[:0x200] = bytes(0x200)
    return chunk


def main(sample, out, megabytes, damage=False):
    image = open(sample, "rb").read()
    chunks = used_chunks(image)
    first_id = struct.unpack_from("<Q", chunks[0], 0x18)[0]
    span = struct.unpack_from("<Q", chunks[-1], 0x20)[0] - first_id + 1
    count = (megabytes * 2**20 - HEADER_BLOCK) // CHUNK
    body, last_id = [], 0
    for n in range(count):
        chunk, last_id = shifted(chunks[n % len(chunks)], (n // len(chunks)) * span)
        body.append(damaged(chunk) if damage else chunk)
    header = bytearray(image[:HEADER_BLOCK])
    struct.pack_into("<QQQ", header, 8, 0, count - 1, last_id + 1)
    struct.pack_into("<H", header, 0x2A, count)
    struct.pack_into("<I", header, 0x78, 0)
    struct.pack_into("<I", header, 0x7C, zlib.crc32(bytes(header[:0x78])))
    with open(out, "wb") as f:
        f.write(header)
        for chunk in body:
            f.write(chunk)


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5) or sys.argv[4:] not in ([], ["damaged"]):
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]), damage=len(sys.argv) == 5)
