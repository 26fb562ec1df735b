// The binary XML of .evtx records, read only as far as the scan needs it:
// under Event/System, the EventID with its Qualifiers, the Level, the
// Keywords and the TimeCreated SystemTime, whether a template instance or
// elements written out give them; and, for the few records asked about, the
// texts that say where the log comes from. Every offset is a chunk offset.
#pragma once

#include <cstdint>
#include <string>

// Chunk offset of a chunk's first record: its header fills what lies before,
// so no template definition can lie there.
constexpr uint32_t kEvtxFirstRecordAt = 0x200;

// The chunk being read: its bytes, and how far they may be read.
struct EvtxChunk {
    const uint8_t* base;
    uint32_t end;  // chunk offset past the last readable byte
};

// What a record gives the scan.
enum EventItem { kEventId, kQualifiers, kLevel, kKeywords, kSystemTime, kItemCount };

constexpr uint64_t kFileTimeTicksPerSecond = 10000000;  // FILETIME counts 100 ns since 1601

// The items one record gave; a value is a FILETIME for kSystemTime.
// systemChannel: whether its Event/System/Channel says "System".
struct EventFields {
    bool found[kItemCount];
    uint64_t values[kItemCount];
    bool systemChannel;
};

// Texts a record gives only when asked (ReadEventText): the Channel and the
// Computer under Event/System, and the last Data item under EventData, held
// in the record or in a nested binary XML value.
enum EventText { kChannel, kComputer, kLastData, kTextCount };

// Bytes of template definitions walked since the chunk began: what reading a
// chunk's records costs beyond their own bytes.
extern uint64_t definitionBytesWalked;

// Forgets the templates of the chunk read before, since definitions are
// chunk-local, and sets definitionBytesWalked to 0.
void BeginTemplateChunk();

// The fewest bytes of binary XML a record holds: a fragment header's worth.
constexpr uint32_t kEvtxLeastXml = 4;

// Reads the items of the binary XML in [at, end) of `chunk`, at least
// kEvtxLeastXml bytes, a template instance or elements written out, into
// *fields. False when it does not read as binary XML, or its template's
// definition does not.
bool ReadEventFields(const EvtxChunk& chunk, uint32_t at, uint32_t end, EventFields* fields);

// The text `which` of the record whose binary XML lies in [at, end), which
// ReadEventFields read as sound, as UTF-8; of a string array, its last
// string. "" when the record has none, or it does not read.
std::string ReadEventText(const EvtxChunk& chunk, uint32_t at, uint32_t end, EventText which);

// What ReadEventValues hands on, one at a time: the Name of System/Provider,
// or an item of EventData, a Data (with its Name attribute; "" for none) or
// its Binary. A value lies in the chunk: text written out is of kTypeString.
enum class EventValuePart : uint8_t { kProvider, kData, kBinary };
struct EventValue {
    EventValuePart part;
    std::string name;
    uint8_t type;  // the binary XML value type
    const uint8_t* bytes;
    uint32_t size;
};
using EventValueSink = void (*)(void* context, const EventValue& value);

// Walks the whole record whose binary XML lies in [at, end), as sound as
// ReadEventFields found it, handing each value above to `sink`: slower than
// ReadEventFields, for the few records whose data matter. False when it does
// not read; a template instance or nested value inside it that does not read
// is passed over.
bool ReadEventValues(const EvtxChunk& chunk, uint32_t at, uint32_t end, EventValueSink sink, void* context);
// A value as UTF-8 text: a string's, or a number's in decimal; "" for other types.
std::string EventValueText(const EventValue& value);
// A value as a whole number: an integer's, or the number a text spells.
bool EventValueNumber(const EventValue& value, uint64_t* number);
// A value as FILETIME ticks: a SYSTEMTIME's, a FILETIME's, or an ISO 8601 text's.
bool EventValueTime(const EventValue& value, uint64_t* fileTime);
// A value as bytes: a Binary's, or those its hex text spells.
std::string EventValueBytes(const EventValue& value);
