// Text for XML documents.
#pragma once

#include <string>
#include <string_view>

// Appends `text` to *out as XML character data or attribute value: markup
// characters escaped, and every byte that begins no well-formed UTF-8 XML
// character (a file name need not be UTF-8) replaced by U+FFFD.
void AppendXmlText(std::string* out, std::string_view text);
