// Unicode-aware trimming and UTF-8 validation for system text files.
#include "common/text.hpp"

#include <cstddef>

namespace vorn {
namespace {

bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Length of the well-formed UTF-8 sequence at the start of `text`, 0 when
// there is none.
std::size_t sequence_length(std::string_view text) {
    if (text.empty()) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char lead = p[0];
    if (lead < 0x80) return 1;
    std::size_t extra = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() <= extra) return 0;
    if (p[1] < low || p[1] > high) return 0;
    for (std::size_t i = 2; i <= extra; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
    }
    return extra + 1;
}

// The code point of a well-formed sequence of `length` bytes.
char32_t decode(std::string_view sequence, std::size_t length) {
    const auto lead = static_cast<unsigned char>(sequence[0]);
    if (length == 1) return lead;
    char32_t c = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (static_cast<unsigned char>(sequence[i]) & 0x3F);
    return c;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
    while (!text.empty()) {
        const std::size_t length = sequence_length(text);
        if (length == 0) return false;
        text.remove_prefix(length);
    }
    return true;
}

std::string_view trim(std::string_view text) {
    for (;;) {
        const std::size_t length = sequence_length(text);
        if (length == 0 || !is_unicode_space(decode(text, length))) break;
        text.remove_prefix(length);
    }
    while (!text.empty()) {
        // The last sequence starts at most three continuation bytes back.
        std::size_t start = text.size() - 1;
        while (start > 0 && text.size() - start < 4 &&
               (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
            --start;
        const std::string_view last = text.substr(start);
        const std::size_t length = sequence_length(last);
        if (length != last.size() || !is_unicode_space(decode(last, length))) break;
        text.remove_suffix(length);
    }
    return text;
}

}  // namespace vorn
