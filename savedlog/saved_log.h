// The readers of saved System logs: the legacy .evt file of Windows NT to
// XP, and the .evtx file of Vista and later. Each yields the records as the
// event log service would deliver them (record_stream.h), newest first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "savedlog/record_stream.h"

struct PowerEvent;

// What a reader made of the damage in a file: chunks whose header is unsound
// (their records are still looked for), records lost to damage or to the
// file's end, and records read past damage, which a reader that stops at the
// first unsound record would have lost.
struct SkippedParts {
    uint32_t chunks = 0;
    uint32_t records = 0;
    uint32_t recovered = 0;
    // A copy cut short (head -c, an image's unfinished extent): what the file's
    // header counts that the file does not hold. A live copy's header lags
    // behind its records and never makes a file look cut.
    bool cut = false;
    bool newestMissing = false;  // records newer than the newest read are gone
    uint32_t chunksCounted = 0;  // .evtx: the chunks the header counts,
    uint32_t chunksMissing = 0;  // and those of them the file lacks
    uint64_t recordsMissing = 0; // about, beyond the records counted lost
};

// What a log says of where it comes from, beyond the records the scan reads.
// Texts are UTF-8.
struct BootHost {
    uint32_t number;  // the boot record's number (its identifier's low half)
    std::string host;
};
struct LogFacts {
    std::string host;            // the Computer of the newest boot record; of the newest record without one
    std::string zoneText;        // the last data item of the newest event 6013 ("480 Pacific Standard Time"); "" without one
    bool systemRecords = false;  // some record is of the System log: its channel (.evtx), the EventLog source (.evt)
    std::string holds;           // without such records, what the newest record is of: its channel, or its source
    std::vector<BootHost> bootHosts;  // the Computer of every boot record read
    // Where the readers append the log's power records (power/power_events.h);
    // null, as it is unless a caller asks, for none. Kept when the rest is filled.
    std::vector<PowerEvent>* power = nullptr;
    bool crashesOnly = false;  // with power: only the 6008s, which say when a crash came
};

// Reads a legacy .evt image (its ring unrolled, newest record first) into
// `stream`, copying it. Damage inside is read round and counted in *skipped;
// false with a one-line reason in *error, and `stream` unchanged, only when
// the image is not such a log.
bool ParseEvtImage(const uint8_t* data, size_t size, RecordStream* stream, SkippedParts* skipped,
                   std::string* error, LogFacts* facts = nullptr);
// The same, with the records left in place in the image, which the stream
// shares: only a record that wraps round the end of the ring is copied.
bool ParseEvtImageInPlace(std::shared_ptr<const uint8_t> image, size_t size, RecordStream* stream,
                          SkippedParts* skipped, std::string* error, LogFacts* facts = nullptr);

// Reads a .evtx image into `stream`, each record turned into an
// EVENTLOGRECORD, newest first by record identifier. Damage is read round,
// and counted in *skipped; false with a one-line reason only when the image
// does not begin with an .evtx file header.
bool ParseEvtxImage(const uint8_t* data, size_t size, RecordStream* stream, SkippedParts* skipped,
                    std::string* error, LogFacts* facts = nullptr);

// Which kind of log the first `size` bytes at `head` begin: .evtx by its
// file signature, .evt by its header's; kNone for neither.
enum class SavedLogKind { kNone, kEvt, kEvtx };
SavedLogKind SavedLogKindOf(const uint8_t* head, size_t size);

// Reads an image of either kind, chosen by its signature, in place where the
// reader can, counting its damage in *skipped. False with a one-line reason
// when it is neither.
bool ParseSavedLogImage(std::shared_ptr<const uint8_t> image, size_t size, RecordStream* stream,
                        SkippedParts* skipped, std::string* error, LogFacts* facts = nullptr);

// Reads the saved log at `path`, in place where the reader can; the file's
// image lives as long as the last copy of the stream that needs it. An
// unreadable file gives false with the system's reason ("No such file or
// directory", "Is a directory") or the reader's; neither names `path`.
bool LoadSavedLog(const char* path, RecordStream* stream, SkippedParts* skipped, std::string* error, LogFacts* facts = nullptr);
#ifndef _WIN32
// The same from the open descriptor `file`, read from where it stands to its
// end with sequential reads only, so a pipe or a terminal will do; an .evtx
// log is walked a chunk at a time. The descriptor stays open.
bool LoadSavedLogDescriptor(int file, RecordStream* stream, SkippedParts* skipped, std::string* error,
                            LogFacts* facts = nullptr);
#endif
// The same as LoadSavedLog, with every record copied into stream->bytes and the file let go.
bool LoadSavedLogCopied(const char* path, RecordStream* stream, SkippedParts* skipped, std::string* error, LogFacts* facts = nullptr);

// "damaged: 2 chunk headers unsound, 17 records lost, 114 records recovered",
// naming only the counts that are not 0; "" for a sound file.
std::string SkippedPartsText(const SkippedParts& skipped);
// "cut short: 12 of 27 chunks missing, about 2251 records", or of a .evt log
// "cut short: about 3021 records missing"; "" for a file not cut.
std::string CutShortText(const SkippedParts& skipped);
