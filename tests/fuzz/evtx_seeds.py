"""Seed .evtx logs for evtx_fuzz: slices of the real Windows 7 log and logs
built here record by record, so that every path of the reader (templates
defined inline and earlier, elements written out, text and typed values,
chunks out of order, damage of each kind) starts from a seed of its own.
Each is a file header and one or two chunks cut short after their records,
a few KB each."""
import struct
import zlib

HEADER_BLOCK = 0x1000
CHUNK = 0x10000
CHUNK_HEADER = 0x200
EPOCH = 116444736000000000


def file_header(chunks, major=3, flags=0, next_id=0):
    head = bytearray(HEADER_BLOCK)
    struct.pack_into("<8sQQQIHHHH", head, 0, b"ElfFile\0", 0, max(chunks - 1, 0), next_id, 128, 1, major, HEADER_BLOCK,
                     chunks)
    struct.pack_into("<I", head, 0x78, flags)
    struct.pack_into("<I", head, 0x7C, zlib.crc32(bytes(head[:0x78])))
    return bytes(head)


def chunk(records, first_id, last_id, free=None, slot=False):
    """A chunk holding `records` (bytes laid from 0x200), cut after them
    unless `slot` pads it to a whole slot."""
    body = bytearray(CHUNK_HEADER) + records
    free = len(body) if free is None else free
    struct.pack_into("<8sQQQQII", body, 0, b"ElfChnk\0", first_id, last_id, first_id, last_id, 128, CHUNK_HEADER)
    struct.pack_into("<II", body, 0x30, free, zlib.crc32(bytes(records)))
    struct.pack_into("<I", body, 0x7C, zlib.crc32(bytes(body[:0x78] + body[0x80:CHUNK_HEADER])))
    if slot:
        body += bytes(CHUNK - len(body))
    return bytes(body)


class Xml:
    """Binary XML laid at chunk offset `at`, names stored inline."""

    def __init__(self, at, definition=False):
        self.at, self.b, self.definition = at, bytearray(), definition

    def pos(self):
        return self.at + len(self.b)

    def raw(self, data):
        self.b += data
        return self

    def name(self, text):
        self.raw(struct.pack("<I", self.pos() + 4))
        return self.raw(struct.pack("<IHH", 0, 0, len(text)) + text.encode("utf-16le") + b"\0\0")

    def text(self, value):
        return self.raw(struct.pack("<BBH", 0x05, 0x01, len(value)) + value.encode("utf-16le"))

    def sub(self, index, kind, optional=True):
        return self.raw(struct.pack("<BHB", 0x0E if optional else 0x0D, index, kind))

    def element(self, name, attributes=(), content=None):
        """`attributes`: (name, fill) pairs; `content`: fills, or None for an empty element."""
        self.raw(bytes([0x41 if attributes else 0x01]))
        if self.definition:
            self.raw(b"\xff\xff")
        size_at = len(self.b)
        self.raw(b"\0\0\0\0")
        self.name(name)
        if attributes:
            list_at = len(self.b)
            self.raw(b"\0\0\0\0")
            for i, (attribute, fill) in enumerate(attributes):
                self.raw(bytes([0x46 if i + 1 < len(attributes) else 0x06]))
                self.name(attribute)
                fill(self)
            struct.pack_into("<I", self.b, list_at, len(self.b) - list_at - 4)
        if content is None:
            self.raw(b"\x03")
        else:
            self.raw(b"\x02")
            for fill in content:
                fill(self)
            self.raw(b"\x04")
        struct.pack_into("<I", self.b, size_at, len(self.b) - size_at - 4)
        return self


def system(x, event_id, qualifiers, level, keywords, time, extra=()):
    """Event > System with the five items, each a fill."""
    x.raw(b"\x0f\x01\x01\x00")
    x.element("Event", [("xmlns", lambda x: x.text("http://schemas.microsoft.com/win/2004/08/events/event"))], [
        lambda x: x.element("System", content=[
            lambda x: x.element("Provider", [("Name", lambda x: x.text("EventLog"))]),
            lambda x: x.element("EventID", [("Qualifiers", qualifiers)] if qualifiers else (), [event_id]),
            lambda x: x.element("Level", content=[level]),
            lambda x: x.element("Keywords", content=[keywords]),
            lambda x: x.element("TimeCreated", [("SystemTime", time)]),
        ] + list(extra)),
        lambda x: x.element("EventData", content=[]),
    ])
    return x.raw(b"\x00")


def record(at, record_id, written, body):
    """A record at chunk offset `at` whose binary XML `body(offset)` gives."""
    xml = body(at + 0x18)
    size = (0x18 + len(xml) + 4 + 7) // 8 * 8
    out = struct.pack("<IIQQ", 0x2A2A, size, record_id, written) + xml
    out += bytes(size - 4 - len(out)) + struct.pack("<I", size)
    return out


def inline_body(event_id="6009", qualifiers="32768", level="4", keywords="0x80000000000000",
                time="2015-06-23T06:00:48.0000000Z"):
    def body(at):
        return bytes(system(Xml(at), lambda x: x.text(event_id),
                            (lambda x: x.text(qualifiers)) if qualifiers is not None else None,
                            lambda x: x.text(level), lambda x: x.text(keywords), lambda x: x.text(time)).b)
    return body


VALUE_SIZES = {0x00: 0, 0x04: 1, 0x06: 2, 0x11: 8, 0x15: 8, 0x12: 16, 0x01: None, 0x08: 4, 0x0A: 8}


SUBSTITUTIONS = (lambda x: x.sub(1, 0x06), lambda x: x.sub(2, 0x06), lambda x: x.sub(0, 0x04),
                 lambda x: x.sub(3, 0x15), lambda x: x.sub(4, 0x11))


def template_body(values, inline_definition=True, definition_at=None, fills=SUBSTITUTIONS):
    """A template instance whose values are (type, bytes) pairs: Level 0,
    EventID 1, Qualifiers 2, Keywords 3, SystemTime 4. Its definition, whose
    items `fills` gives (EventID, Qualifiers, Level, Keywords, SystemTime),
    is inline, or at `definition_at` (an earlier record's)."""
    def body(at):
        x = Xml(at).raw(b"\x0f\x01\x01\x00")
        x.raw(struct.pack("<BBI", 0x0C, 1, 0x11223344))
        here = x.pos() + 4
        x.raw(struct.pack("<I", here if inline_definition else definition_at))
        if inline_definition:
            d = Xml(here + 24, definition=True)
            system(d, *fills)
            x.raw(struct.pack("<I16sI", 0, b"\x44\x33\x22\x11" + bytes(12), len(d.b)) + d.b)
        x.raw(struct.pack("<I", len(values)))
        for kind, data in values:
            x.raw(struct.pack("<HBB", len(data), kind, 0))
        for kind, data in values:
            x.raw(data)
        return bytes(x.raw(b"\x00").b)
    return body


def boot_values(level=4, keywords=0x80000000000000, event_id=6009, qualifiers=0x8000, when=1435039248):
    ft = when * 10**7 + EPOCH
    return [(0x04, bytes([level])), (0x06, struct.pack("<H", event_id)),
            (0x06, struct.pack("<H", qualifiers)) if qualifiers is not None else (0x00, b""),
            (0x15, struct.pack("<Q", keywords)), (0x11, struct.pack("<Q", ft))]


def built_chunk(bodies, first_id=1, ids=None, free=None, slot=False, claimed=None, tail=b""):
    """A chunk of records made by `bodies`, ids from `first_id` on (or `ids`);
    its header claims the ids `claimed` (first, last), or those it holds.
    `tail` follows the records inside the free space, unless `free` says where it ends."""
    data, at = bytearray(), CHUNK_HEADER
    ids = ids or list(range(first_id, first_id + len(bodies)))
    for record_id, body in zip(ids, bodies):
        rec = record(at, record_id, 1435039248 * 10**7 + EPOCH, body)
        data += rec
        at += len(rec)
    first, last = claimed or (min(ids), max(ids))
    return chunk(data + tail, first, last, free if free is not None else CHUNK_HEADER + len(data) + len(tail), slot)


def real_slice(sample, slot, count):
    """Chunk `slot` of the real log cut after its first `count` records."""
    base = HEADER_BLOCK + slot * CHUNK
    data = bytearray(sample[base:base + CHUNK])
    pos = CHUNK_HEADER
    first = struct.unpack_from("<Q", data, 0x18)[0]
    for _ in range(count):
        pos += struct.unpack_from("<I", data, pos + 4)[0]
    return chunk(data[CHUNK_HEADER:pos], first, first + count - 1)


NUMBERS = ["4", "0x1F", "0xab", "0xg", "12a", "0x", "", "99999999999999999999999", "18446744073709551615", " 7 ",
           "7\0", "\u00e9", "a\0b", "1" * 60, ":", "0XAB", "/"]
TIMES = ["2015-06-23T06:00:48Z", "2015-06-23T06:00:48.1234567Z", "2015-06-23 06:00:48", "2015-06-23T06:00:48X",
         "2015", "20a5-06-23T06:00:48Z", "2015/06-23T06:00:48Z", "2015-06-23X06:00:48Z", "1500-01-01T00:00:00Z",
         "2015-13-01T00:00:00Z", "2015-02-30T00:00:00Z", "2015-00-10T00:00:00Z", "1969-12-31T23:59:59Z",
         "2107-01-01T00:00:00Z", "2015-01-15T00:00:00.5", "2015-06-23T24:00:00Z", "2015-06-23T06:00:4",
         "2015-06-23T06:00:48.", "2015-06-23T06:00:48.12X", "2015-06-23T06:00:48.1/", "2015-06-23T06:00:48Z ",
         "2016-02-29T00:00:00Z", "2015-02-29T00:00:00Z", "2000-02-29T00:00:00Z", "2100-02-29T00:00:00Z",
         "2015-02-28T00:00:00Z"]


def texts_chunk():
    """Records written out, their items as texts of every form a reader meets."""
    bodies = []
    for i in range(max(len(NUMBERS), len(TIMES))):
        n = [NUMBERS[(i + k) % len(NUMBERS)] for k in range(4)]
        bodies.append(inline_body(n[0], n[1] if i % 5 else None, n[2], n[3], TIMES[i % len(TIMES)]))
    return built_chunk(bodies)


# (type, bytes) stand-ins for Level, and for SystemTime.
LEVELS = [(0x03, b"\x02"), (0x05, b"\x03\x00"), (0x07, b"\x04\0\0\0"), (0x08, b"\x05\0\0\0"),
          (0x09, bytes([1] + [0] * 7)), (0x0A, bytes([2] + [0] * 7)), (0x0D, b"\x01\0\0\0"),
          (0x10, b"\x03\0\0\0"), (0x10, bytes([3] + [0] * 7)), (0x14, b"\x04\0\0\0"), (0x00, b""),
          (0x00, b"\0\0"), (0x0E, b"\x01\x02\x03"), (0x21, b"\0\0\0\0"), (0x08, b"\x04\0"),
          (0x01, "3".encode("utf-16le")), (0x81, b"\0\0")]
STAMPS = [(0x11, struct.pack("<Q", 1435039248 * 10**7 + EPOCH)), (0x12, struct.pack("<8H", 2015, 1, 4, 15, 6, 0, 48, 5)),
          (0x12, b"\0" * 8), (0x01, "2015-06-23T06:00:48Z".encode("utf-16le")), (0x00, b""),
          (0x12, struct.pack("<8H", 2015, 1, 4, 15, 6, 0, 48, 1000))]


def types_chunk():
    """Templated records, one definition for all, their values of every type."""
    bodies = []
    base = boot_values()
    definition_at = CHUNK_HEADER + 0x18 + 4 + 10
    for i in range(max(len(LEVELS), len(STAMPS))):
        values = list(base)
        values[0] = LEVELS[i % len(LEVELS)]
        values[4] = STAMPS[i % len(STAMPS)]
        bodies.append(template_body(values, inline_definition=i == 0, definition_at=definition_at))
    bodies.append(template_body(base[:2], inline_definition=False, definition_at=definition_at))
    # A definition with its items as text, and one with plain substitutions.
    texts = [lambda x: x.text("6009"), lambda x: x.text("32768"), lambda x: x.text("4"),
             lambda x: x.text("0x80000000000000"), lambda x: x.text("2015-06-23T06:00:48Z")]
    plain = [lambda x, i=i, t=t: x.sub(i, t, optional=False) for i, t in ((1, 6), (2, 6), (0, 4), (3, 0x15), (4, 0x11))]
    bodies += [template_body(base, fills=texts), template_body(base, fills=plain)]
    return built_chunk(bodies)


def tokens_body(at):
    """An event written out with every kind of token a reader steps over."""
    x = Xml(at)
    x.raw(b"\x0f\x01\x01\x00")
    x.raw(b"\x0a").name("xml-stylesheet").raw(b"\x0b\x01\x00A\x00")
    nested = Xml(0)
    x.element("Event", [("a", lambda x: x.text("1").raw(b"\x08\x41\x00")), ("b", lambda x: x.raw(b"\x09").name("amp"))], [
        lambda x: x.element("System", content=[
            lambda x: x.element("EventID", [("Qualifiers", lambda x: x.text("32768")), ("Other", lambda x: x.text("1"))],
                                [lambda x: x.text("6009")]),
            lambda x: x.element("Level", [("x", lambda x: x.text("1"))], [
                lambda x: x.element("Inner", content=[lambda x: x.text("9")]), lambda x: x.text("4")]),
            lambda x: x.element("Keywords", content=[lambda x: x.raw(b"\x07\x01\x00A\x00"),
                                                     lambda x: x.text("0x80000000000000")]),
            lambda x: x.element("TimeCreated", [("SystemTime", lambda x: x.text("2015-06-23T06:00:48Z"))]),
            lambda x: x.element("Data", content=[lambda x: nested_instance(x)]),
        ]),
    ])
    nested_instance(x)
    x.raw(b"\x0b\x00\x00")
    return bytes(x.raw(b"\x00").b)


def nested_instance(x):
    """A template instance inside element content, its definition inline."""
    x.raw(struct.pack("<BBI", 0x0C, 1, 7))
    here = x.pos() + 4
    d = Xml(here + 24, definition=True)
    d.raw(b"\x0f\x01\x01\x00").element("Data", content=[lambda x: x.sub(0, 0x01)]).raw(b"\x00")
    x.raw(struct.pack("<I", here) + struct.pack("<I16sI", 0, bytes(16), len(d.b)) + d.b)
    x.raw(struct.pack("<IHBB", 1, 2, 0x01, 0) + "A".encode("utf-16le"))


def deep_body(depth):
    """An event nested `depth` elements deep under System."""
    def body(at):
        def nest(x, n):
            if n:
                x.element("D", content=[lambda x: nest(x, n - 1)])
        return bytes(system(Xml(at), lambda x: x.text("1"), None, lambda x: x.text("4"), lambda x: x.text("0"),
                            lambda x: x.text("2015-06-23T06:00:48Z"), extra=[lambda x: nest(x, depth)]).b)
    return body


def record_cut(body, keep):
    """A one-record chunk whose record keeps only `keep` bytes of its binary XML."""
    xml = body(CHUNK_HEADER + 0x18)[:keep]
    size = 0x18 + len(xml) + 4
    rec = struct.pack("<IIQQ", 0x2A2A, size, 1, EPOCH) + xml + struct.pack("<I", size)
    return chunk(rec, 1, 1)


def record_patch(body, at, data):
    """A one-record chunk whose record's binary XML has `data` laid at `at`."""
    xml = bytearray(body(CHUNK_HEADER + 0x18))
    xml[at:at + len(data)] = data
    size = 0x18 + len(xml) + 4
    rec = struct.pack("<IIQQ", 0x2A2A, size, 1, EPOCH) + bytes(xml) + struct.pack("<I", size)
    return chunk(rec, 1, 1)


def other_root_body(at):
    """A document whose root is no Event."""
    x = Xml(at).raw(b"\x0f\x01\x01\x00")
    return bytes(x.element("Other", content=[lambda x: x.text("1")]).raw(b"\x00").b)


def plan_slot(offset):
    """The slot of the reader's table of definitions that `offset` hashes to."""
    return ((offset * 2654435761) & 0xFFFFFFFF) >> 21


def colliding_body(at):
    """A template instance whose definition offset shares its table slot with
    the first record's inline definition, and lies in that record."""
    first = CHUNK_HEADER + 0x18 + 4 + 10
    other = next(o for o in range(first + 1, first + 0x10000) if plan_slot(o) == plan_slot(first))
    return template_body(boot_values(), inline_definition=False, definition_at=other)(at)


MARKER = b"cut fragment hdr"  # the GUID of a definition kept in a BinXml value


def cut_definition_bodies():
    """Record bodies: the first keeps, in a BinXml value, a definition whose
    data ends inside its fragment header; the second uses it."""
    holder = template_body(boot_values() + [(0x21, struct.pack("<I16sI", 0, MARKER, 2) + b"\x0f\x01")])
    def user(at):
        first = holder(CHUNK_HEADER + 0x18)
        return template_body(boot_values(), inline_definition=False,
                             definition_at=CHUNK_HEADER + 0x18 + first.index(MARKER) - 4)(at)
    return [holder, user]


def with_spoilt(chunk_bytes, positions):
    """`chunk_bytes` with the records at the given positions in file order given a
    wrong size copy, so that a reader must pass them over."""
    data, at, n = bytearray(chunk_bytes), CHUNK_HEADER, 0
    while at + 8 <= len(data) and struct.unpack_from("<I", data, at)[0] == 0x2A2A:
        size = struct.unpack_from("<I", data, at + 4)[0]
        if n in positions:
            struct.pack_into("<I", data, at + size - 4, size + 8)
        at, n = at + size, n + 1
    return bytes(data)


def headerless(chunk_bytes):
    """A chunk whose header is all zeros, as real damaged copies have them."""
    return bytes(CHUNK_HEADER) + chunk_bytes[CHUNK_HEADER:]


def budget_chunk():
    """A chunk without a header whose every 8-byte boundary starts a record
    frame 0x8000 bytes long, each a candidate whose binary XML fails: the
    search must give up within its budget."""
    pattern = struct.pack("<II", 0x2A2A, 0x8000) * ((0x8000 + 0x400) // 8)
    return bytes(CHUNK_HEADER) + pattern


def plans_chunk(count):
    """A chunk without a header of `count` small records, each a template
    instance naming a definition at an offset of its own in the zeros after
    them, none sound: more plans than the reader keeps for one chunk."""
    size = 48
    zeros = CHUNK_HEADER + count * size
    data = bytearray()
    for n in range(count):
        xml = struct.pack("<BBII", 0x0C, 0x01, n, zeros + n) + struct.pack("<I", 0)
        rec = struct.pack("<IIQQ", 0x2A2A, size, n + 1, EPOCH) + xml
        data += rec + bytes(size - 4 - len(rec)) + struct.pack("<I", size)
    return bytes(CHUNK_HEADER) + bytes(data) + bytes(count + 24)


FRAGMENT = b"\x0f\x01\x01\x00"
ZONES = "\0".join(["", "42", "60", "480 Pacific Standard Time"]) + "\0"


def instance(x, definition, values, template_id=0x55667788):
    """A template instance at the end of `x` whose definition, built by
    `definition(d)`, lies inline, and whose values are (type, bytes) pairs."""
    x.raw(struct.pack("<BBI", 0x0C, 1, template_id))
    here = x.pos() + 4
    d = Xml(here + 24, definition=True)
    definition(d.raw(FRAGMENT))
    d.raw(b"\x00")
    x.raw(struct.pack("<I", here) + struct.pack("<I16sI", 0, struct.pack("<I", template_id) + bytes(12), len(d.b)) + d.b)
    x.raw(struct.pack("<I", len(values)))
    for kind, data in values:
        x.raw(struct.pack("<HBB", len(data), kind, 0))
    for kind, data in values:
        x.raw(data)
    return x


def event_data(value=(0x81, ZONES.encode("utf-16le")), index=0, fragment=True):
    """A nested binary XML value: an instance of EventData > Data, the Data's
    content its value `index`."""
    def make(at):
        x = Xml(at).raw(FRAGMENT if fragment else b"")
        definition = lambda d: d.element("EventData", content=[lambda x: x.element("Data", content=[
            lambda x: x.sub(index, 0x81)])])
        return bytes(instance(x, definition, [value]).raw(b"\x00").b)
    return make


def written_data(text="0 Coordinated Universal Time"):
    """A nested binary XML value written out: EventData > Data."""
    def make(at):
        x = Xml(at).raw(FRAGMENT)
        x.element("EventData", content=[lambda x: x.element("Data", content=[lambda x: x.text(text)]),
                                        lambda x: x.element("Binary", content=[lambda x: x.text("00")])])
        return bytes(x.raw(b"\x00").b)
    return make


def nested_again(at):
    """A nested value whose own Event content is one more nested value."""
    x = Xml(at).raw(FRAGMENT)
    definition = lambda d: d.element("Event", content=[lambda x: x.sub(0, 0x21)])
    return bytes(instance(x, definition, [(0x21, written_data()(0))]).raw(b"\x00").b)


def fixed(data):
    """A nested value of these bytes wherever it lies."""
    return lambda at: data


def uptime_body(payload=event_data(), payload_type=0x21, channel=lambda x: x.text("System"),
                computer=lambda x: x.text("PC-9"), more=(), event_id=6013):
    """A templated record of `event_id` whose definition puts Channel and
    Computer under System and value 5, `payload(chunk offset)` (of
    `payload_type`), in Event's own content; values 6 on are `more`."""
    fills = [channel and (lambda x: x.element("Channel", content=[channel])),
             computer and (lambda x: x.element("Computer", content=[computer]))]
    definition = lambda d: d.element("Event", content=[
        lambda x: x.element("System", content=[
            lambda x: x.element("EventID", [("Qualifiers", SUBSTITUTIONS[1])], [SUBSTITUTIONS[0]]),
            lambda x: x.element("Level", content=[SUBSTITUTIONS[2]]),
            lambda x: x.element("Keywords", content=[SUBSTITUTIONS[3]]),
            lambda x: x.element("TimeCreated", [("SystemTime", SUBSTITUTIONS[4])]),
        ] + [f for f in fills if f]),
        lambda x: x.sub(5, payload_type)])

    def body(at):
        def build(data):
            values = boot_values(event_id=event_id) + [(payload_type, data)] + list(more)
            return instance(Xml(at).raw(FRAGMENT), definition, values).raw(b"\x00")
        size = len(payload(0))
        draft = build(bytes(size))
        where = draft.at + len(draft.b) - 1 - size - sum(len(v) for _, v in more)
        return bytes(build(payload(where)).b)
    return body


def facts_chunks():
    """Chunks of records that say where the log comes from, in each form a
    reader takes or refuses."""
    text = lambda t: (0x01, t.encode("utf-16le"))
    sub = lambda index: (lambda x: x.sub(index, 0x01))
    zone = lambda **kw: built_chunk([inline_body(), uptime_body(**kw)])
    return {
        "facts-zone.evtx": zone(),
        "facts-zone-written.evtx": zone(payload=written_data()),
        "facts-zone-bare.evtx": zone(payload=event_data(text("-60 W. Europe Standard Time"), fragment=False)),
        "facts-zone-none.evtx": zone(payload=event_data(text("86400\0"))),
        "facts-zone-number.evtx": zone(payload=event_data((0x08, b"\1\0\0\0"))),
        "facts-zone-index.evtx": zone(payload=event_data(index=3)),
        "facts-zone-nested-again.evtx": zone(payload=nested_again),
        "facts-zone-unsound.evtx": zone(payload=fixed(FRAGMENT + b"\x77\x00")),
        "facts-zone-cut.evtx": zone(payload=fixed(FRAGMENT + b"\x0c\x01\x00")),
        "facts-zone-definition-in-header.evtx": zone(payload=fixed(FRAGMENT + struct.pack("<BBII", 0x0C, 1, 1, 0x80) +
                                                                    struct.pack("<I", 0) + b"\x00")),
        "facts-zone-short.evtx": zone(payload=fixed(b"\x0f\x01")),
        "facts-zone-fragment-only.evtx": zone(payload=fixed(FRAGMENT)),
        "facts-zone-empty.evtx": zone(payload=fixed(b"")),
        "facts-zone-not-nested.evtx": zone(payload=fixed("x".encode("utf-16le")), payload_type=0x01),
        "facts-channels.evtx": built_chunk([
            uptime_body(channel=lambda x: x.text("Security"), event_id=4624),
            uptime_body(channel=sub(6), more=[text("Security")], event_id=4625),
            uptime_body(channel=sub(6), more=[(0x04, b"\x01")], event_id=4625),
            uptime_body(channel=sub(9), event_id=4625),
            uptime_body(channel=sub(6), more=[(0x01, b"")], event_id=4625),
            uptime_body(channel=sub(6), more=[text("Systems")], event_id=4625),
            uptime_body(channel=sub(6), more=[text("System\0")], event_id=4625),
            uptime_body(channel=None, computer=sub(7), more=[text("System"), text("PC-8\0")], event_id=6009),
            uptime_body(channel=sub(6), computer=sub(7), more=[text("System"), (0x81, "A\0PC-7\0".encode("utf-16le"))],
                        event_id=6009)]),
        "facts-empty-computer.evtx": built_chunk([uptime_body(computer=sub(6), more=[(0x01, b"")], event_id=6009)]),
        "facts-other-log.evtx": built_chunk([uptime_body(channel=sub(6), more=[text("Security")], event_id=4624)]),
    }


def power_body(event_id, data=(), event=(), more=(), tail=b"\x00"):
    """A templated record of `event_id` from the EventLog provider (value 5)
    whose definition holds EventData > `data`, then `event`, in Event's
    content; values 6 on are `more`, (type, bytes or bytes(chunk offset))
    pairs, and `tail` follows the instance."""
    definition = lambda d: d.element("Event", content=[
        lambda x: x.element("System", content=[
            lambda x: x.element("Provider", [("Name", lambda x: x.sub(5, 0x01))]),
            lambda x: x.element("EventID", [("Qualifiers", SUBSTITUTIONS[1])], [SUBSTITUTIONS[0]]),
            lambda x: x.element("Level", content=[SUBSTITUTIONS[2]]),
            lambda x: x.element("Keywords", content=[SUBSTITUTIONS[3]]),
            lambda x: x.element("TimeCreated", [("SystemTime", SUBSTITUTIONS[4])])]),
        lambda x: x.element("EventData", content=list(data))] + list(event))

    def body(at):
        def build(places):
            values = boot_values(event_id=event_id) + [(0x01, "EventLog".encode("utf-16le"))]
            values += [(kind, value(where) if callable(value) else value) for (kind, value), where in zip(more, places)]
            return instance(Xml(at).raw(FRAGMENT), definition, values)
        draft = build([0] * len(more))
        sizes = [len(value(0) if callable(value) else value) for _, value in more]
        where, places = draft.at + len(draft.b) - sum(sizes), []
        for size in sizes:
            places.append(where)
            where += size
        return bytes(build(places).raw(tail).b)
    return body


def power_chunks():
    """Chunks of power records whose values come in every type and form the
    power history reads, nested, spoilt, and past the walk's bounds."""
    named = lambda name, index: (lambda x: x.element("Data", [("Name", lambda x: x.text(name))], [
        lambda x: x.sub(index, 0x01)]))
    element = lambda name, *content: (lambda x: x.element(name, content=list(content)))
    text = lambda t: (lambda x: x.text(t))
    sub = lambda index: (lambda x: x.sub(index, 0x21))
    utf16 = lambda t: t.encode("utf-16le")
    empty_value = FRAGMENT + b"\x00"
    roots = lambda at: bytes(Xml(at).raw(FRAGMENT).element("Other", content=[text("1")])
                             .element("EventData", content=[element("Data", text("2"))]).raw(b"\x00").b)
    values = [(0x01, utf16("abc\0\0")), (0x81, utf16("a\0b\0")), (0x02, b"ab\0c"), (0x02, b"ab"),
              (0x14, b"\1\0\0\0"), (0x15, bytes(8)), (0x08, b"\7\0\0\0"), (0x0E, b"\1\2"),
              (0x11, struct.pack("<Q", 1435039248 * 10**7 + EPOCH)), (0x11, b"\1\0\0\0"),
              (0x01, utf16("2015-06-23T06:00:48Z")), (0x0E, bytes(40)), (0x08, b"\7\0\0\0"), (0x01, utf16("param7")),
              (0x21, roots), (0x21, empty_value), (0x21, FRAGMENT + b"\x77\x00"),
              (0x21, FRAGMENT + struct.pack("<BBIII", 0x0C, 1, 1, 0x80, 0) + b"\x00"), (0x01, b"")]
    data = [named("param1", i) for i in range(6, 14)] + [named("SleepTime", i) for i in range(14, 17)]
    data += [element("Binary", sub(17)), element("Binary", sub(18))]
    data += [element("Binary", text(t)) for t in ("0A b1", "0g", "/")]
    data += [lambda x: x.element("Data", [("Name", lambda x: x.sub(19, 0x01))], [text("x")]),
             element("Data", sub(21)), element("Data", sub(22)), element("Data", sub(23)), element("Other"),
             named("param1", 24)]

    def nest(x, n):
        x.element("D", content=[(lambda x: nest(x, n - 1)) if n > 1 else sub(6)])
    return {
        "power-values.evtx": built_chunk([
            power_body(6008, data, [sub(20), element("Other")], values),
            power_body(6009, tail=b"\x77"),
            power_body(6009, event=[lambda x: nest(x, 62)], more=[(0x21, empty_value)]),
            power_body(6009, [element("Data", *[sub(6)] * 65, lambda x: instance(x, element("Data"), []))],
                       more=[(0x21, empty_value)])]),
    }


BODIES = {"written": inline_body(), "template": template_body(boot_values()), "tokens": tokens_body}
# Cuts and patches of one record of each kind that end a chunk at a check of
# their own: (body, bytes of binary XML kept) and (body, offset, bytes laid
# there), picked from every cut and a few patches at every offset as those
# that take a branch no other seed takes.
CUTS = [
    ("template", 4), ("template", 5), ("template", 14), ("template", 38), ("template", 627), ("template", 631),
    ("template", 651), ("template", 672), ("tokens", 5), ("tokens", 9), ("tokens", 17), ("tokens", 47),
    ("tokens", 48), ("tokens", 50), ("written", 5), ("written", 9),
]
PATCHES = [
    ("template", 0, bytes.fromhex("0e")), ("template", 10, bytes.fromhex("01000000")),
    ("template", 10, bytes.fromhex("24020000")), ("template", 41, bytes.fromhex("00000200")),
    ("template", 42, bytes.fromhex("ffff0000")), ("template", 45, bytes.fromhex("36000000")),
    ("template", 45, bytes.fromhex("40020000")), ("template", 45, bytes.fromhex("5a000000")),
    ("template", 49, bytes.fromhex("ffff0000")), ("template", 216, bytes.fromhex("1f000000")),
    ("template", 245, bytes.fromhex("ffff0000")), ("template", 250, bytes.fromhex("22000000")),
    ("template", 308, bytes.fromhex("00000200")), ("template", 335, bytes.fromhex("43000000")),
    ("template", 443, bytes.fromhex("38000000")), ("template", 494, bytes.fromhex("ffff0000")),
    ("template", 499, bytes.fromhex("24000000")), ("template", 499, bytes.fromhex("40000000")),
    ("template", 572, bytes.fromhex("00000200")), ("template", 580, bytes.fromhex("00000200")),
    ("template", 624, bytes.fromhex("0e")), ("tokens", 53, bytes.fromhex("35000000")),
    ("written", 267, bytes.fromhex("0e")), ("written", 422, bytes.fromhex("00000200")),
    ("written", 467, bytes.fromhex("7f")), ("written", 606, bytes.fromhex("0e")),
]


def seeds(sample):
    """Name -> bytes of every seed."""
    one = lambda *chunks: file_header(len(chunks)) + b"".join(chunks)
    tmpl = lambda **kw: template_body(boot_values(**kw))
    sys_time = struct.pack("<8H", 2015, 6, 2, 23, 6, 0, 48, 0)
    typed = [(0x04, b"\x02"), (0x01, "6006".encode("utf-16le")), (0x01, "0x8000".encode("utf-16le")),
             (0x15, struct.pack("<Q", 0x0020000000000000)), (0x12, sys_time)]
    out = {
        "real-chunk0.evtx": one(real_slice(sample, 0, 6)),
        "real-chunk1.evtx": one(real_slice(sample, 1, 3)),
        "inline-elements.evtx": one(built_chunk([inline_body(), inline_body("6006", None, "0", "0x10000000000000",
                                                                            "2015-06-23 07:00:00.5")])),
        "template-levels.evtx": one(built_chunk([tmpl(level=n) for n in (1, 2, 3, 5, 9)] +
                                                [tmpl(level=0, keywords=k) for k in (1 << 53, 1 << 52, 0)])),
        "template-typed.evtx": one(built_chunk([template_body(typed), template_body(boot_values(qualifiers=None))])),
        "out-of-order.evtx": one(built_chunk([tmpl()] * 3, ids=[7, 5, 5], slot=True), built_chunk([tmpl()] * 2, first_id=1)),
        "zero-slot.evtx": file_header(1) + bytes(700),
        # Shorter than the header counts: after a whole chunk, numbered or not; inside one; no chunk at all.
        "cut-after-a-chunk.evtx": file_header(3, next_id=50) + built_chunk([tmpl()] * 2, slot=True),
        "cut-unnumbered.evtx": file_header(3) + built_chunk([tmpl()], slot=True),
        "cut-inside-a-chunk.evtx": file_header(2, next_id=2) + built_chunk([tmpl()]),
        "cut-before-any-chunk.evtx": file_header(2, next_id=9),
        "junk-slot.evtx": file_header(1) + b"junk",
        "cut-chunk-header.evtx": file_header(1) + b"ElfChnk\0" + bytes(100),
        "header-only.evtx": file_header(0),
        "version-2.evtx": file_header(0, major=2),
        "bad-free-space.evtx": one(built_chunk([tmpl()], free=0x10008)),
        "cut-in-record.evtx": one(built_chunk([tmpl(), tmpl()]))[:-40],
        "texts.evtx": one(texts_chunk()),
        "types.evtx": one(types_chunk()),
        "tokens.evtx": one(built_chunk([tokens_body, tokens_body])),
        "deep.evtx": one(built_chunk([deep_body(60), deep_body(70)])),
        "other-root.evtx": one(built_chunk([other_root_body])),
        "cut-definition.evtx": one(built_chunk(cut_definition_bodies())),
        "slot-collision.evtx": one(built_chunk([tmpl(), colliding_body])),
        "understated.evtx": one(built_chunk([tmpl()] * 3, claimed=(1, 1))),
        "ids-backwards.evtx": one(built_chunk([tmpl(), other_root_body], claimed=(5, 1), tail=b"x" * 40)),
        "claims-too-many.evtx": one(built_chunk([tmpl()], claimed=(1, 1 << 40), tail=b"\x2a\x2a\0\0")),
        "claims-one.evtx": one(built_chunk([tmpl()], claimed=(1, 1), tail=b"x" * 40)),
        "free-in-header.evtx": one(built_chunk([tmpl()], free=0x100)),
        "chunk-header-size.evtx": file_header(1) + built_chunk([tmpl()])[:0x28] + b"\x34\x12\0\0" +
        built_chunk([tmpl()])[0x2C:],
        "bad-signature.evtx": b"ElfFilx" + file_header(0)[7:],
        "short-header.evtx": b"ElfFile\0" + bytes(20),
        "record-sizes.evtx": one(built_chunk([tmpl()], tail=struct.pack("<II", 0x2A2A, 0x10) + bytes(32))),
        "record-past-free.evtx": one(built_chunk([tmpl()], tail=struct.pack("<II", 0x2A2A, 0x1000) + bytes(32))),
        "record-signature.evtx": one(built_chunk([tmpl()], tail=struct.pack("<II", 0x2A2B, 0x28) + bytes(32))),
        "record-copy.evtx": one(built_chunk([tmpl()], tail=struct.pack("<II", 0x2A2A, 0x28) + bytes(32))),
        "record-header-cut.evtx": one(built_chunk([tmpl()], tail=struct.pack("<II", 0x2A2A, 0x28))),
        # Past damage: passed over in a chunk with a header and in one without,
        # with gaps in the identifiers of each size, and an earlier pass.
        "passed-over.evtx": one(with_spoilt(built_chunk([tmpl()] * 4, ids=[1, 2, 3, 4]), {1})),
        "headerless.evtx": one(headerless(with_spoilt(built_chunk([tmpl()] * 8, ids=[1, 2, 3, 4, 4, 5, 9000, 6]),
                                                      {1, 3, 5}))),
        "headerless-first-spoilt.evtx": one(headerless(with_spoilt(built_chunk([tmpl()] * 2), {0}))),
        "budget.evtx": one(budget_chunk()),
        "many-plans.evtx": one(plans_chunk(1100)),
        # More records than a headerless chunk is guessed to hold, before a
        # chunk that claims many: the block of records must grow.
        "outgrown.evtx": one(headerless(built_chunk([lambda at: b"\x0f\x01\x01\x00\x00"] * 1625, slot=True)),
                             built_chunk([tmpl()], claimed=(1, 2000), slot=True)),
    }
    for name, data in list(facts_chunks().items()) + list(power_chunks().items()):
        out[name] = one(data)
    for name, keep in CUTS:
        out[f"cut-{name}-{keep}.evtx"] = one(record_cut(BODIES[name], keep))
    for name, at, data in PATCHES:
        out[f"patch-{name}-{at}-{data.hex()}.evtx"] = one(record_patch(BODIES[name], at, data))
    return out
