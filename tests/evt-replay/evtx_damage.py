#!/usr/bin/env python3
"""Damaged and odd .evtx logs made from a sound one, each with what a reader
must make of it.

    evtx_damage.py SAMPLE.evtx OUTDIR   writes one file per case into OUTDIR and
                                        prints its name, the records kept and
                                        what must be reported

Each case knows the identifiers of the records that survive it (in file
order, repeated where a chunk is held twice) and the counts a reader must
report. A chunk whose header is unsound (one the file's end cuts included)
counts once, and its records are still read, from its first record slot to
its end, each numbered above the one before; an all-zero slot is empty, not
damaged. An unsound record is passed over and the walk goes on at the next
sound record. A chunk with a sound header whose walk met damage loses the
records its header claims beyond those read; the records read past damage,
and all those of a chunk without a sound header, are recovered. The tool
walks only the sample's chunk and record headers (size, identifier), which
is all it needs to know where to cut and what survives.
"""
import os
import struct
import sys
import zlib
from dataclasses import dataclass, field

HEADER_BLOCK = 0x1000
SLOT = 0x10000
CHUNK_HEADER = 0x200
HEADER_CRC_SPAN = 0x78
HEADER_CRC_AT = 0x7C
CHUNK_IDS_AT = 0x18            # first and last record identifier, u64 each
CHUNK_HEADER_SIZE_AT = 0x28
CHUNK_FREE_AT = 0x30
CHUNK_DATA_CRC_AT = 0x34
CHUNK_HEADER_CRC_AT = 0x7C     # over [0, 0x78) and [0x80, 0x200)
SPOILT_HEADER_SIZE = 0x1234    # a chunk header always says 128
RECORD_SIZE_AT = 4
RECORD_ID_AT = 8
RECORD_WRITTEN_AT = 0x10
RECORD_BINXML_AT = 0x18
FILE_SIGNATURE = b"ElfFile\0"
CHUNK_SIGNATURE = b"ElfChnk\0"
FILETIME_1970 = 116444736000000000
TICKS_PER_SECOND = 10**7
# Slots are rotated by this many to stand for a log that has wrapped: the
# oldest chunk then sits in the middle of the file, not first.
WRAP_SHIFT = 7


@dataclass
class Case:
    name: str
    image: bytes
    kept: list             # identifiers of the records a reader must give, in file order
    chunks: int = 0        # chunk headers it must report unsound
    records: int = 0       # records it must report lost
    recovered: int = 0     # records it must report read past damage
    changes_rows: bool = False  # whether the kept records give other rows than the sound file
    cut: str = ""          # what the stderr line of a file shorter than its header counts says
    # (identifier, n): the FILETIME now in the header of that identifier's n-th record in file order
    written: dict = field(default_factory=dict)
    notes: str = ""


@dataclass
class Chunk:
    slot: int
    first_id: int
    last_id: int
    records: list = field(default_factory=list)  # (chunk offset, size, identifier), in file order


def u32(image, at):
    return struct.unpack_from("<I", image, at)[0]


def chunks_of(image):
    """The used chunks of a sound file, with their records found by walking sizes up to the free space."""
    found = []
    for slot in range((len(image) - HEADER_BLOCK + SLOT - 1) // SLOT):
        base = HEADER_BLOCK + slot * SLOT
        if image[base:base + 8] != CHUNK_SIGNATURE:
            continue
        first_id, last_id = struct.unpack_from("<QQ", image, base + CHUNK_IDS_AT)
        chunk = Chunk(slot, first_id, last_id)
        free, at = u32(image, base + CHUNK_FREE_AT), CHUNK_HEADER
        while at < free:
            size = u32(image, base + at + RECORD_SIZE_AT)
            chunk.records.append((at, size, struct.unpack_from("<Q", image, base + at + RECORD_ID_AT)[0]))
            at += size
        found.append(chunk)
    return found


def ids(chunks):
    return [record[2] for chunk in chunks for record in chunk.records]


def with_header(image, crc="fix", **fields):
    """`image` with file-header fields changed; its CRC then recomputed ("fix"), left ("keep") or spoilt."""
    image = bytearray(image)
    layout = {"first": ("<Q", 0x08), "last": ("<Q", 0x10), "next_id": ("<Q", 0x18), "minor": ("<H", 0x24),
              "major": ("<H", 0x26), "count": ("<H", 0x2A), "flags": ("<I", 0x78)}
    for name, value in fields.items():
        struct.pack_into(layout[name][0], image, layout[name][1], value)
    if crc == "fix":
        struct.pack_into("<I", image, HEADER_CRC_AT, zlib.crc32(bytes(image[:HEADER_CRC_SPAN])))
    elif crc == "spoil":
        struct.pack_into("<I", image, HEADER_CRC_AT, u32(image, HEADER_CRC_AT) ^ 0xFFFFFFFF)
    return bytes(image)


def rotated(image, shift):
    """The slots moved down by `shift` (the first `shift` go to the end), as a wrapped log keeps them."""
    slots = [image[HEADER_BLOCK + n * SLOT:HEADER_BLOCK + (n + 1) * SLOT]
             for n in range((len(image) - HEADER_BLOCK) // SLOT)]
    return image[:HEADER_BLOCK] + b"".join(slots[shift:] + slots[:shift])


def patched(image, at, data):
    return image[:at] + data + image[at + len(data):]


def with_written_times(image, chunks, times, slot=None):
    """`image` with the record headers' written times set, {identifier: FILETIME}, in the
    chunks where the sound file has them or else in copies of them in `slot`, and the CRCs
    of those chunks made right again, so that only the times are odd."""
    image = bytearray(image)
    for record_id, filetime in times.items():
        at, chunk, _ = record_at(image, chunks, record_id)
        base = HEADER_BLOCK + (chunk.slot if slot is None else slot) * SLOT
        at += base - (HEADER_BLOCK + chunk.slot * SLOT)
        struct.pack_into("<Q", image, at + RECORD_WRITTEN_AT, filetime)
        free = u32(image, base + CHUNK_FREE_AT)
        struct.pack_into("<I", image, base + CHUNK_DATA_CRC_AT,
                         zlib.crc32(bytes(image[base + CHUNK_HEADER:base + free])))
        struct.pack_into("<I", image, base + CHUNK_HEADER_CRC_AT,
                         zlib.crc32(bytes(image[base:base + 0x78] + image[base + 0x80:base + CHUNK_HEADER])))
    return bytes(image)


def filetime(seconds, ticks=0):
    """The FILETIME `ticks` of 100 ns after `seconds` since 1970."""
    return FILETIME_1970 + seconds * TICKS_PER_SECOND + ticks


def record_at(image, chunks, record_id):
    """(file offset of the record, its chunk, its index in the chunk)."""
    for chunk in chunks:
        for index, (offset, _, identifier) in enumerate(chunk.records):
            if identifier == record_id:
                return HEADER_BLOCK + chunk.slot * SLOT + offset, chunk, index
    raise KeyError(record_id)


def cases(image):
    """Every case, made from the sound file `image`."""
    chunks = chunks_of(image)
    every = ids(chunks)
    slots = (len(image) - HEADER_BLOCK) // SLOT
    by_slot = {chunk.slot: chunk for chunk in chunks}
    last_used = chunks[-1]
    table = []

    def cut_inside(data, slot, chunk, at):
        """`data` ending `at` bytes into `slot`, which holds `chunk`: the file, the ids of the
        chunk's records that lie whole before the cut, and the count of the others."""
        whole = [r[2] for r in chunk.records if r[0] + r[1] <= at]
        return data[:HEADER_BLOCK + slot * SLOT + at], whole, chunk.last_id - chunk.records[len(whole)][2] + 1

    # Sound but odd: every record is read and nothing is reported.
    wrapped = rotated(image, WRAP_SHIFT)
    newest_slot = (last_used.slot - WRAP_SHIFT) % slots
    table.append(Case("wrapped, header follows", with_header(wrapped, first=(-WRAP_SHIFT) % slots, last=newest_slot),
                      every, notes="slots rotated by %d; header's first/last chunk moved with them" % WRAP_SHIFT))
    table.append(Case("wrapped, header stale", wrapped, every, notes="slots rotated; header still names 0 and 26"))
    lag = chunks[len(chunks) * 3 // 4 - 1]
    table.append(Case("dirty, header lagging",
                      with_header(image, flags=1, count=lag.slot + 1, last=lag.slot, next_id=lag.last_id + 1),
                      every, notes="dirty flag; count, last chunk and next id as of chunk %d" % lag.slot))
    table.append(Case("header CRC wrong", with_header(image, crc="spoil"), every))
    table.append(Case("header counts fewer chunks than it holds", with_header(image, count=5), every))
    table.append(Case("header minor version 2", with_header(image, minor=2), every))
    crcs = HEADER_BLOCK + 6 * SLOT
    table.append(Case("chunk CRCs wrong",
                      patched(patched(image, crcs + CHUNK_DATA_CRC_AT,
                                      struct.pack("<I", u32(image, crcs + CHUNK_DATA_CRC_AT) ^ 1)),
                              crcs + CHUNK_HEADER_CRC_AT,
                              struct.pack("<I", u32(image, crcs + CHUNK_HEADER_CRC_AT) ^ 1)),
                      every, notes="chunk 6's header and data CRCs"))
    # A whole, valid record left after chunk 0's free space, with a new identifier
    # so that a reader which walked on would list an extra boot at the top.
    boot_at, boot_chunk, index_of_3 = record_at(image, chunks, 3)
    stale = bytearray(image[boot_at:boot_at + boot_chunk.records[index_of_3][1]])
    struct.pack_into("<Q", stale, RECORD_ID_AT, every[-1] + 1)
    free_at = HEADER_BLOCK + boot_chunk.slot * SLOT + u32(image, HEADER_BLOCK + boot_chunk.slot * SLOT + CHUNK_FREE_AT)
    assert free_at + len(stale) <= HEADER_BLOCK + (boot_chunk.slot + 1) * SLOT
    table.append(Case("whole record after the free space", patched(image, free_at, bytes(stale)), every,
                      notes="boot record 3 copied there as id %d" % (every[-1] + 1)))
    # The copy's boot record an hour on, so that which of two equal ids comes first shows.
    copy_to = last_used.slot + 1
    written_at = struct.unpack_from("<Q", image, record_at(image, chunks, 1042)[0] + RECORD_WRITTEN_AT)[0]
    hour_on = {1042: written_at + 3600 * TICKS_PER_SECOND}
    held_twice = patched(image, HEADER_BLOCK + copy_to * SLOT, image[HEADER_BLOCK + 6 * SLOT:HEADER_BLOCK + 7 * SLOT])
    table.append(Case("chunk held twice", with_written_times(held_twice, chunks, hour_on, copy_to),
                      every + ids([by_slot[6]]), changes_rows=True, written={(1042, 1): hour_on[1042]},
                      notes="chunk 6 copied into empty slot %d: its ids twice, boot 1042 of the copy an hour on"
                            % copy_to))
    # Written times of boot records moved: a day on from the event's own creation time (a
    # reader must take the record header's), and to the edges of what 32 bits of seconds hold.
    day_on = (written_at - FILETIME_1970) // TICKS_PER_SECOND + 86400
    times = {1042: filetime(day_on, TICKS_PER_SECOND - 1), 953: filetime(0, -1), 733: filetime(2**32),
             593: filetime(2**32 - 1, TICKS_PER_SECOND - 1), 322: filetime(1)}
    table.append(Case("written times apart from creation and at the edges of 32 bits",
                      with_written_times(image, chunks, times), every, changes_rows=True,
                      written={(i, 0): time for i, time in times.items()},
                      notes="records 1042 (a day on, 0.9999999 s past), 953 (just before 1970), 733 (2^32 s), "
                            "593 (2^32 - 1 s and a fraction), 322 (1 s)"))
    table.append(Case("header only", image[:HEADER_BLOCK], [], changes_rows=True, notes="header still counts 27",
                      cut="cut short: 27 of 27 chunks missing, about 5009 records"))
    table.append(Case("ends inside an empty slot", image[:HEADER_BLOCK + copy_to * SLOT + 0x100], every))

    # Damaged: every sound record is read, and the loss counted.
    def chunk_read_without_header(slot, data, note):
        return Case("chunk header " + note, data, every, chunks=1, recovered=len(by_slot[slot].records),
                    notes="chunk %d" % slot)

    def record_passed_over(record_id, data, name):
        """A case whose one damaged record is `record_id`: the rest of its chunk is recovered."""
        _, chunk, index = record_at(image, chunks, record_id)
        return Case(name, data, [i for i in every if i != record_id], records=1,
                    recovered=len(chunk.records) - index - 1, notes="record %d in chunk %d" % (record_id, chunk.slot))

    spoilt = HEADER_BLOCK + 3 * SLOT
    table.append(chunk_read_without_header(3, patched(image, spoilt + 7, b"X"), "signature spoilt"))
    table.append(chunk_read_without_header(4, patched(image, HEADER_BLOCK + 4 * SLOT + CHUNK_HEADER_SIZE_AT,
                                                      struct.pack("<I", SPOILT_HEADER_SIZE)), "size spoilt"))
    table.append(chunk_read_without_header(5, patched(image, HEADER_BLOCK + 5 * SLOT, bytes(CHUNK_HEADER)),
                                           "all zeros"))
    at = record_at(image, chunks, 271)[0]
    size_copy_differs = patched(image, at + RECORD_SIZE_AT, struct.pack("<I", u32(image, at + RECORD_SIZE_AT) + 8))
    table.append(record_passed_over(271, size_copy_differs, "record size disagrees with its copy"))
    at = record_at(image, chunks, 420)[0]
    table.append(record_passed_over(420, patched(image, at + RECORD_SIZE_AT, struct.pack("<I", SLOT)),
                                    "record size past the free space"))
    at = record_at(image, chunks, 1000)[0]
    table.append(record_passed_over(1000, patched(image, at, b"*+"), "record signature spoilt"))
    # Record 272 ends right before boot record 273, the last of its chunk.
    at, chunk, index = record_at(image, chunks, 272)
    size = chunk.records[index][1]
    assert chunk.records[index + 1][2] == 273
    zero_sized = patched(patched(image, at + RECORD_SIZE_AT, bytes(4)), at + size - 4, bytes(4))
    table.append(record_passed_over(272, zero_sized, "record of size 0 before a boot record"))
    at = record_at(image, chunks, 2)[0]
    table.append(record_passed_over(2, patched(image, at + RECORD_BINXML_AT, b"\xff"),
                                    "record binary XML begins with an unknown token"))
    at = record_at(image, chunks, 1040)[0]
    assert image[at + RECORD_BINXML_AT:at + RECORD_BINXML_AT + 5] == b"\x0f\x01\x01\x00\x0c", \
        "record 1040 should open with a fragment header and a template instance"
    table.append(record_passed_over(1040, patched(image, at + RECORD_BINXML_AT + 4 + 6, struct.pack("<I", 0xFFFFFFF0)),
                                    "record template definition outside its chunk"))
    several = patched(patched(size_copy_differs, spoilt + 7, b"X"), HEADER_BLOCK + 4 * SLOT + CHUNK_HEADER_SIZE_AT,
                      struct.pack("<I", SPOILT_HEADER_SIZE))
    _, chunk, index = record_at(image, chunks, 271)
    table.append(Case("two chunks and a record at once", several, [i for i in every if i != 271], chunks=2,
                      records=1, recovered=len(by_slot[3].records) + len(by_slot[4].records)
                      + len(chunk.records) - index - 1, notes="chunks 3 and 4, record 271"))

    # Stale records that must stay unread: a boot record copied, with a new
    # identifier, where a reader that trusted too much would list it.
    boot = bytes(image[boot_at:boot_at + boot_chunk.records[index_of_3][1]])
    first_slot = HEADER_BLOCK + boot_chunk.slot * SLOT
    free = u32(image, first_slot + CHUNK_FREE_AT)

    def renumbered(record, record_id):
        return record[:RECORD_ID_AT] + struct.pack("<Q", record_id) + record[RECORD_ID_AT + 8:]

    claimed = 50
    ahead = patched(patched(image, first_slot + CHUNK_IDS_AT + 8, struct.pack("<Q", boot_chunk.last_id + claimed)),
                    first_slot + CHUNK_FREE_AT, struct.pack("<I", SLOT - 0x30))
    ahead = patched(ahead, first_slot + free, renumbered(boot, boot_chunk.last_id + claimed + 1))
    assert free + len(boot) <= SLOT - 0x30
    table.append(Case("header claims records and room past those written", ahead, every, records=claimed,
                      notes="chunk 0 claims %d more records and its slot nearly whole; right after its records "
                            "lies a boot record numbered past that range" % claimed))
    record_4 = record_at(image, chunks, 4)
    small = bytes(image[record_4[0]:record_4[0] + boot_chunk.records[record_4[2]][1]])
    earlier_pass = patched(image, first_slot, bytes(CHUNK_HEADER))
    earlier_pass = patched(earlier_pass, first_slot + free, renumbered(small, 2) + renumbered(boot, every[-1] + 1))
    assert free + len(small) + len(boot) <= SLOT
    table.append(Case("chunk header all zeros, an earlier pass after its records", earlier_pass, every, chunks=1,
                      recovered=len(boot_chunk.records),
                      notes="chunk 0; past its records, record 4 as 2 and then boot record 3 as %d"
                            % (every[-1] + 1)))

    cut, whole, lost = cut_inside(image, last_used.slot, last_used, 0x5000)
    table.append(Case("cut inside its last used chunk", cut, ids(chunks[:-1]) + whole, records=lost,
                      changes_rows=True, notes="0x5000 bytes into chunk %d" % last_used.slot,
                      cut="cut short: 1 of 27 chunks missing; how its newest cycle ended is among them: "
                          "it is not known to be running"))
    wrapped = with_header(wrapped, first=(-WRAP_SHIFT) % slots, last=newest_slot)
    last_slot = slots - 1
    in_last_slot = by_slot[(last_slot + WRAP_SHIFT) % slots]
    older = [i for i in every if not in_last_slot.first_id <= i <= in_last_slot.last_id]
    cut, whole, lost = cut_inside(wrapped, last_slot, in_last_slot, 30000)
    table.append(Case("wrapped, cut inside its last slot", cut, older + whole, records=lost, changes_rows=True,
                      notes="30000 bytes into slot %d (chunk %d)" % (last_slot, in_last_slot.slot)))
    table.append(Case("wrapped, cut inside a chunk header", wrapped[:HEADER_BLOCK + last_slot * SLOT + 0x100],
                      older, chunks=1, changes_rows=True,
                      notes="0x100 bytes into slot %d: the header is unsound, and no record is whole" % last_slot))
    return table


def refused(image):
    """Files that are no log of either kind, or an .evtx of a version this reader does not know: (name, bytes)."""
    return [
        ("zeros.evtx", bytes(HEADER_BLOCK + SLOT)),
        ("text.evt", b"This is a text file, not an event log.\n" * 100),
        ("major-version-2.evtx", with_header(image, major=2)),
        ("signature-only.evtx", FILE_SIGNATURE),
    ]


def slug(name):
    return "".join(c if c.isalnum() else "-" for c in name.lower())


def main():
    sample, outdir = sys.argv[1:3]
    image = open(sample, "rb").read()
    os.makedirs(outdir, exist_ok=True)
    for case in cases(image):
        path = os.path.join(outdir, slug(case.name) + ".evtx")
        open(path, "wb").write(case.image)
        print("%s: %d records kept; %d chunk headers unsound, %d records lost, %d recovered%s" % (
            path, len(case.kept), case.chunks, case.records, case.recovered,
            " (%s)" % case.notes if case.notes else ""))
    for name, data in refused(image):
        path = os.path.join(outdir, name)
        open(path, "wb").write(data)
        print("%s: refused" % path)


if __name__ == "__main__":
    main()
