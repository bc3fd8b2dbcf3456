// The ANSI code page is UTF-8 here. Malformed input (overlong forms, encoded surrogates, code
// points past U+10FFFF, unpaired surrogates) is refused rather than replaced, so a name never
// silently changes on its way to or from UTF-16.
#include "platform/platform.h"

namespace kov::platform {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool isSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Decodes one sequence starting at text[i]; advances i. False when malformed or cut short.
bool decodeUtf8(const unsigned char* text, int length, int& i, char32_t& out) {
    const unsigned char lead = text[i];
    int extra;
    char32_t minimum;
    if (lead < 0x80) {
        out = lead;
        ++i;
        return true;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, minimum = 0x80, out = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, minimum = 0x800, out = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, minimum = 0x10000, out = lead & 0x07;
    } else {
        return false;
    }
    if (length - i - 1 < extra) return false;
    for (int k = 1; k <= extra; ++k) {
        const unsigned char next = text[i + k];
        if ((next & 0xC0) != 0x80) return false;
        out = (out << 6) | (next & 0x3F);
    }
    if (out < minimum || out > kMaxCodePoint || isSurrogate(out)) return false;
    i += 1 + extra;
    return true;
}

int utf8Length(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

} // namespace

int ansiToWide(const char* text, int length, char16_t* out, int outUnits) {
    if (text == nullptr || out == nullptr || length <= 0 || outUnits <= 0) return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    int written = 0;
    for (int i = 0; i < length;) {
        char32_t c;
        if (!decodeUtf8(bytes, length, i, c)) return 0;
        if (c < 0x10000) {
            if (written + 1 > outUnits) return 0;
            out[written++] = static_cast<char16_t>(c);
        } else {
            if (written + 2 > outUnits) return 0;
            c -= 0x10000;
            out[written++] = static_cast<char16_t>(0xD800 + (c >> 10));
            out[written++] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        }
    }
    return written;
}

int wideToAnsi(const char16_t* text, int length, char* out, int outBytes) {
    if (text == nullptr || out == nullptr || length <= 0 || outBytes <= 0) return 0;
    int written = 0;
    for (int i = 0; i < length; ++i) {
        char32_t c = text[i];
        if (c >= 0xDC00 && c <= 0xDFFF) return 0;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= length || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return 0;
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        const int n = utf8Length(c);
        if (written + n > outBytes) return 0;
        auto* dest = reinterpret_cast<unsigned char*>(out + written);
        switch (n) {
        case 1: dest[0] = static_cast<unsigned char>(c); break;
        case 2:
            dest[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            dest[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            break;
        case 3:
            dest[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            dest[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            dest[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            break;
        default:
            dest[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            dest[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            dest[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            dest[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            break;
        }
        written += n;
    }
    return written;
}

} // namespace kov::platform
