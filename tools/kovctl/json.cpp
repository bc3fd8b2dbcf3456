#include "json.h"

#include "text.h"

namespace kovctl {

JsonWriter::JsonWriter() = default;

void JsonWriter::begin(const char* key) {
    if (!first_) text_.push_back(',');
    first_ = false;
    if (key != nullptr) text_ += jsonQuote(key) + ":";
}

void JsonWriter::openObject(const char* key) {
    begin(key);
    text_.push_back('{');
    closers_.push_back('}');
    first_ = true;
}

void JsonWriter::openArray(const char* key) {
    begin(key);
    text_.push_back('[');
    closers_.push_back(']');
    first_ = true;
}

void JsonWriter::close() {
    if (closers_.empty()) return;
    text_.push_back(closers_.back());
    closers_.pop_back();
    first_ = false;
}

void JsonWriter::field(const char* key, const std::string& value) {
    begin(key);
    text_ += jsonQuote(value);
}

void JsonWriter::field(const char* key, const char* value) {
    if (value == nullptr) return null(key);
    field(key, std::string(value));
}

void JsonWriter::field(const char* key, std::uint64_t value) {
    begin(key);
    text_ += std::to_string(value);
}

void JsonWriter::boolean(const char* key, bool value) {
    begin(key);
    text_ += value ? "true" : "false";
}

void JsonWriter::integer(const char* key, std::int64_t value) {
    begin(key);
    text_ += std::to_string(value);
}

void JsonWriter::null(const char* key) {
    begin(key);
    text_ += "null";
}

std::string JsonWriter::finish() {
    while (!closers_.empty()) close();
    return text_;
}

} // namespace kovctl
