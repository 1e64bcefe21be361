// Reading values out of system text files (/proc, control-group files):
// trimming, UTF-8 validation and decimal numbers.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>
#include <type_traits>

namespace vorn {

// The text without Unicode whitespace at either end (ASCII blanks, tabs and
// line ends included). Bytes that are not valid UTF-8 are never trimmed.
std::string_view trim(std::string_view text);

// Whether the text is strict UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text);

// A decimal number and nothing else: digits after at most one sign ('+', or
// '-' for signed types); no blanks, no overflow.
template <class T>
std::optional<T> parse_decimal(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '+') {
        text.remove_prefix(1);
        digits = text;
    } else if (std::is_signed_v<T> && !digits.empty() && digits.front() == '-') {
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') return std::nullopt;
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace vorn
