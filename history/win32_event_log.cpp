// The System event log over advapi32.

#include <windows.h>

#include "history/platform.h"

EventLogHandle PlatformOpenEventLog(const char* sourceName)
{
    return OpenEventLogA(nullptr, sourceName);
}

bool PlatformReadEventLog(EventLogHandle log, uint32_t flags, uint32_t recordOffset, void* buffer,
                          uint32_t bufferSize, uint32_t* bytesRead, uint32_t* bytesNeeded)
{
    DWORD read = 0;
    DWORD needed = 0;
    const BOOL ok = ReadEventLogA(log, flags, recordOffset, buffer, bufferSize, &read, &needed);
    *bytesRead = read;
    *bytesNeeded = needed;
    return ok != FALSE;
}

void PlatformCloseEventLog(EventLogHandle log)
{
    CloseEventLog(log);
}

uint32_t PlatformLastError()
{
    return GetLastError();
}
