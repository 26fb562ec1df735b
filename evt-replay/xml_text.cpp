// Any bytes as the character data of an XML document (UTF-8): file names
// need not be UTF-8, and XML refuses most control characters outright.

#include "evt-replay/xml_text.h"

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence of an XML character at the
// start of `text`, or 0 when its first byte begins none.
size_t XmlCharacterLength(std::string_view text)
{
    const auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    const unsigned lead = byte(0);
    if (lead < 0x80)
        return lead >= 0x20 || lead == '\t' || lead == '\n' || lead == '\r' ? 1 : 0;
    // The first continuation byte's range depends on the lead: this keeps out
    // overlong forms, surrogates and code points past U+10FFFF.
    unsigned low = 0x80, high = 0xBF;
    size_t length;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (byte(1) < low || byte(1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    // U+FFFE and U+FFFF are no XML characters either.
    if (lead == 0xEF && byte(1) == 0xBF && byte(2) >= 0xBE)
        return 0;
    return length;
}

}  // namespace

// Copies whole UTF-8 characters, escapes the five markup characters, and
// writes U+FFFD for each byte that begins no XML character.
void AppendXmlText(std::string* out, std::string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        const size_t length = XmlCharacterLength(text.substr(i));
        if (length == 0) {
            *out += kReplacement;
            ++i;
            continue;
        }
        switch (text[i]) {
        case '&':
            *out += "&amp;";
            break;
        case '<':
            *out += "&lt;";
            break;
        case '>':
            *out += "&gt;";
            break;
        case '"':
            *out += "&quot;";
            break;
        case '\'':
            *out += "&apos;";
            break;
        default:
            out->append(text, i, length);
        }
        i += length;
    }
}
