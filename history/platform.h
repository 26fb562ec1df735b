// The few platform operations the boot history needs: the event log, the
// failure message box and the time conversions. Windows builds bind them to
// advapi32, user32 and kernel32; native builds and tests bind them to
// stand-ins of our own, so the history code builds and runs anywhere.
#pragma once

#include <cstdint>

// Same layout as the platform's FILETIME: 100 ns ticks since 1601-01-01.
struct FileTime {
    uint32_t low;
    uint32_t high;
};

// Same layout as the platform's SYSTEMTIME.
struct CalendarTime {
    uint16_t year;
    uint16_t month;
    uint16_t dayOfWeek;
    uint16_t day;
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};

using EventLogHandle = void*;

// Failure codes the read loop tells apart.
constexpr uint32_t kErrorHandleEof = 38;
constexpr uint32_t kErrorInsufficientBuffer = 122;

// Opens the local log named sourceName; null on failure (see PlatformLastError).
EventLogHandle PlatformOpenEventLog(const char* sourceName);

// One read of whole records into buffer; false on failure, with the code in
// PlatformLastError and, for a too-small buffer, the size needed in *bytesNeeded.
bool PlatformReadEventLog(EventLogHandle log, uint32_t flags, uint32_t recordOffset, void* buffer,
                          uint32_t bufferSize, uint32_t* bytesRead, uint32_t* bytesNeeded);

// Releases a handle from PlatformOpenEventLog.
void PlatformCloseEventLog(EventLogHandle log);

// The code of the last failed event-log operation.
uint32_t PlatformLastError();

// A modal message box with no owner; returns once it has been dismissed.
void PlatformMessageBox(const char* text, const char* caption, uint32_t style);

// Shifts a UTC file time by the local zone's offset in force now.
bool PlatformFileTimeToLocalFileTime(const FileTime* utc, FileTime* local);

// Splits a file time into Gregorian calendar fields.
bool PlatformFileTimeToSystemTime(const FileTime* fileTime, CalendarTime* fields);

// Joins calendar fields into a file time; false for fields that name no valid time.
bool PlatformSystemTimeToFileTime(const CalendarTime* fields, FileTime* fileTime);
