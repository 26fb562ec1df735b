// Time conversions over kernel32.

#include <windows.h>

#include "history/platform.h"

static_assert(sizeof(FileTime) == sizeof(FILETIME), "FileTime must match FILETIME");
static_assert(sizeof(CalendarTime) == sizeof(SYSTEMTIME), "CalendarTime must match SYSTEMTIME");

// FileTimeToLocalFileTime: the offset in force now, applied to every time alike.
bool PlatformFileTimeToLocalFileTime(const FileTime* utc, FileTime* local)
{
    return FileTimeToLocalFileTime(reinterpret_cast<const FILETIME*>(utc), reinterpret_cast<FILETIME*>(local));
}

bool PlatformFileTimeToSystemTime(const FileTime* fileTime, CalendarTime* fields)
{
    return FileTimeToSystemTime(reinterpret_cast<const FILETIME*>(fileTime), reinterpret_cast<SYSTEMTIME*>(fields));
}

bool PlatformSystemTimeToFileTime(const CalendarTime* fields, FileTime* fileTime)
{
    return SystemTimeToFileTime(reinterpret_cast<const SYSTEMTIME*>(fields), reinterpret_cast<FILETIME*>(fileTime));
}
