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

// `count` UTF-16LE units at `units` as UTF-8; a surrogate without its pair
// becomes U+FFFD.
inline std::string Utf8FromUtf16(const uint8_t* units, size_t count)
{
    std::string text;
    text.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        uint32_t code = GetU16(units + 2 * i);
        if (code >= 0xD800 && code <= 0xDFFF) {
            const uint32_t low = i + 1 < count ? GetU16(units + 2 * (i + 1)) : 0;
            if (code <= 0xDBFF && low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            } else {
                code = 0xFFFD;
            }
        }
        if (code < 0x80) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | code >> 6);
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            text += static_cast<char>(0xE0 | code >> 12);
            text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | code >> 18);
            text += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return text;
}

// Whether `text` is shaped as a zone as the event log service states it:
// minutes from UTC, a blank, the zone's name ("480 Pacific Standard Time").
inline bool IsZoneText(const std::string& text)
{
    size_t at = !text.empty() && text[0] == '-';
    const size_t digits = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9')
        ++at;
    return at > digits && at + 1 < text.size() && text[at] == ' ';
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
