// What both saved-log readers need to read a file's bytes and to say why
// they refuse one.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

// Little-endian fields at any alignment; every host we build for is
// little-endian too, so memcpy reads them as they stand.
inline uint16_t GetU16(const uint8_t* at)
{
    uint16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}
inline uint32_t GetU32(const uint8_t* at)
{
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}
inline uint64_t GetU64(const uint8_t* at)
{
    uint64_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}
inline void PutU32(uint8_t* at, uint32_t value)
{
    std::memcpy(at, &value, sizeof value);
}

// Whether `count` bytes lie at `at` before `end`; `at` never passes `end`.
inline bool Has(uint32_t at, uint32_t end, uint32_t count)
{
    return end - at >= count;
}

// Stores a formatted one-line reason in *error and returns false.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
inline bool FailWithReason(std::string* error, const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    *error = text;
    return false;
}
