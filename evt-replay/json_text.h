// JSON objects written as json_output.cpp writes them, for the other outputs that build their own.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// `object` dumped as one line ending in a line break (JSON Lines), or
// indented as an element of the document's array; invalid UTF-8 replaced.
std::string DumpedJson(const nlohmann::ordered_json& object, bool oneLine);
