// A small writer for the one JSON object each command prints with --json.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kovctl {

class JsonWriter {
public:
    JsonWriter();

    // Inside an object pass the member's name; inside an array pass nullptr.
    void openObject(const char* key = nullptr);
    void openArray(const char* key);
    void close();

    void field(const char* key, const std::string& value);
    void field(const char* key, const char* value); // null pointer writes null
    void field(const char* key, std::uint64_t value);
    void boolean(const char* key, bool value);
    void integer(const char* key, std::int64_t value); // signed: function results
    void null(const char* key);

    // The finished document; closes whatever is still open.
    std::string finish();

private:
    void begin(const char* key);

    std::string text_;
    std::vector<char> closers_;
    bool first_ = true;
};

} // namespace kovctl
