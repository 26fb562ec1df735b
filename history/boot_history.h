// The boot history: the scan of the System event log, the boot-event table
// it fills, the event-time texts and the boot cycles with their elapsed times.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// "YYYY/MM/DD HH:MM:SS" and its NUL; empty (first char NUL) when unset.
using EventTimeText = std::array<char, 20>;

struct BootEventRow {
    EventTimeText startText;
    EventTimeText stopText;
};

constexpr int kBootEventCapacity = 10000;

// Markers the scan keeps, compared on all 32 bits, and the record type they need.
constexpr uint32_t kBootMarkerId = 0x80001779;
constexpr uint32_t kStopMarkerId = 0x80001776;
constexpr uint16_t kInformationType = 4;

// Byte offsets of the record fields the scan reads, and the fixed record header size.
constexpr size_t kRecordLengthOffset = 0;
constexpr size_t kRecordTimeWrittenOffset = 16;
constexpr size_t kRecordEventIdOffset = 20;
constexpr size_t kRecordEventTypeOffset = 24;
constexpr uint32_t kRecordHeaderSize = 56;

// Size of the first read buffer, and the flags of a newest-first sequential read.
constexpr uint32_t kInitialReadBufferSize = 0x7FFFF;
constexpr uint32_t kBackwardsSequentialRead = 9;

constexpr const char* kProgramName = "Tallyvane";
constexpr uint32_t kErrorBoxStyle = 0x10;  // MB_OK | MB_ICONERROR

extern BootEventRow bootEventTable[kBootEventCapacity];
extern int bootEventCount;

// --- boot_table.cpp
// Empties every row and sets bootEventCount to 0.
void ResetBootEventTable();
// Fills startText of the first free row and moves the count on; ignored once the table is full.
void StoreBootStart(const EventTimeText& text);
// Sets stopText of the first free row, replacing any earlier one; ignored once the table is full.
void StoreBootStop(const EventTimeText& text);

// --- event_time.cpp
// The local "YYYY/MM/DD HH:MM:SS" text of an event time (seconds since 1970 UTC).
EventTimeText FormatEventTime(uint32_t eventTime);
// Whole days from 1601-01-01 to a "YYYY/MM/DD" text, times 86,400; 0 for no valid date.
int64_t DateTextToSeconds(std::string_view dateText);
// Seconds since midnight of an "HH:MM:SS" text (blanks trimmed); 0 unless 8 characters remain.
int64_t TimeTextToSeconds(std::string_view timeText);

// --- boot_cycle.cpp
// The texts of one list row, in column order.
enum CycleColumn { kIndexColumn, kStartDateColumn, kStartTimeColumn, kStopDateColumn, kStopTimeColumn, kElapsedColumn, kCycleColumnCount };
using CycleRow = std::array<std::string, kCycleColumnCount>;

// Appends the next piece of an elapsed text for *span and leaves in *span what is left to tell.
void ElapsedPiece(int64_t* span, std::string* text);
// The "Elapsed Time" text of row r from its four date and time texts.
std::string CycleElapsedText(int r, std::string_view startDate, std::string_view startTime,
                             std::string_view stopDate, std::string_view stopTime);
// The six texts of table row r (0 <= r < bootEventCount).
CycleRow FormCycleRow(int r);
// Writes n in decimal, zero-padded to at least `digits` digits.
void AppendPaddedNumber(std::string* text, int64_t n, int digits);
// Writes n the way the plain number-to-text conversion does: a blank or "-" first.
void AppendSignedNumber(std::string* text, int64_t n);

// --- scan.cpp
// Stores the markers among the records of one successful read. Stops at a
// record whose Length is below the record header or runs past byteCount.
void ScanRecordBuffer(const uint8_t* start, uint32_t byteCount);

// --- main_procedure.cpp
// Reads the System log into the table and shows the window; always returns 0.
int TallyvaneMain(void* instance, void* previousInstance, char* commandTail, int showCommand);

// Provided by the window: shows the boot cycles and returns once the window is gone.
void ShowMainWindow();
