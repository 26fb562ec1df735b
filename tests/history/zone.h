// The zone a test process runs in, as its TZ names it. The suites whose results
// depend on the zone are run once per zone; each zone's expected offsets are
// listed here.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

// Offsets from UTC, in seconds, that the running zone may have in force.
// Empty when the zone is not one the tests know.
inline std::vector<int64_t> PossibleZoneOffsets()
{
    struct Zone {
        const char* name;
        std::vector<int64_t> offsets;
    };
    static const Zone kZones[] = {
        {"UTC", {0}},
        {"Etc/GMT+5", {-5 * 3600}},
        {"Etc/GMT-2", {2 * 3600}},
        {"Asia/Kolkata", {5 * 3600 + 1800}},
        {"Australia/Sydney", {10 * 3600, 11 * 3600}},
    };
    const char* tz = std::getenv("TZ");
    for (const Zone& zone : kZones)
        if (tz && std::strcmp(tz, zone.name) == 0)
            return zone.offsets;
    return {};
}

inline const char* ZoneName()
{
    const char* tz = std::getenv("TZ");
    return tz ? tz : "";
}

// Wine's kernel32 stands in for Windows in the x64 test runs; where the two
// are known to differ, a test says so by asking this.
inline bool RunningUnderWine()
{
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}
