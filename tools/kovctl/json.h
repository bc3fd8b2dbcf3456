// kovctl's JSON objects: nlohmann-json, with members in the order they were added, so a reader
// finds schema, command and status first.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace kovctl {

using Json = nlohmann::ordered_json;

// The object on one line, compact. Text that is not UTF-8 (a path in another code page) is written
// with U+FFFD in its place: the line stays valid JSON instead of the program stopping.
std::string jsonLine(const Json& json);

// null for a null pointer, else the text.
Json textOrNull(const char* text);

} // namespace kovctl
