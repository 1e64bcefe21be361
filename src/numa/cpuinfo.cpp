// Physical-core count: pairs "physical id" with "cpu cores" lines of
// /proc/cpuinfo and sums the core count last seen for each package.
#include "numa/cpuinfo.hpp"

#include <charconv>
#include <cstddef>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vorn {
namespace {

constexpr std::size_t READ_BUFFER_SIZE = 8192;

// Hands out the stream's lines (without the '\n') through a fixed buffer.
// A read error ends the lines as end of file does.
class LineReader {
public:
    explicit LineReader(std::istream& in) : in_(in) {}

    bool next(std::string& line) {
        line.clear();
        for (;;) {
            if (pos_ == len_ && !refill()) return !line.empty();
            const std::string_view rest(buffer_ + pos_, len_ - pos_);
            const std::size_t newline = rest.find('\n');
            if (newline != std::string_view::npos) {
                line.append(rest.substr(0, newline));
                pos_ += newline + 1;
                return true;
            }
            line.append(rest);
            pos_ = len_;
        }
    }

private:
    bool refill() {
        if (!in_.good()) return false;
        in_.read(buffer_, READ_BUFFER_SIZE);
        len_ = static_cast<std::size_t>(in_.gcount());
        pos_ = 0;
        // A failing device (badbit) ends the scan; what was read still counts.
        return len_ > 0 && !in_.bad();
    }

    std::istream& in_;
    char buffer_[READ_BUFFER_SIZE];
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
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
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= extra) return false;
        if (p[1] < low || p[1] > high) return false;
        for (std::size_t i = 2; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
        }
        p += extra + 1;
    }
    return true;
}

bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Decodes the code point starting at `at` of valid UTF-8 text; `length`
// receives its byte count.
char32_t decode_at(std::string_view text, std::size_t at, std::size_t& length) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        length = 1;
        return lead;
    }
    length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    char32_t c = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (byte(i) & 0x3F);
    return c;
}

// Trims Unicode whitespace from both ends of valid UTF-8 text, so that a
// value padded with tabs or no-break spaces still parses.
std::string_view trim(std::string_view text) {
    std::size_t length = 0;
    while (!text.empty() && is_unicode_space(decode_at(text, 0, length))) {
        text.remove_prefix(length);
    }
    while (!text.empty()) {
        std::size_t start = text.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        if (!is_unicode_space(decode_at(text, start, length))) break;
        text.remove_suffix(text.size() - start);
    }
    return text;
}

// One or more decimal digits, optionally after a single '+'; no '-', no
// overflow, nothing else.
template <class T>
std::optional<T> parse_unsigned(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::uint64_t count_physical_cores(std::istream& cpuinfo) {
    std::uint32_t package = 0;
    std::uint64_t cores = 0;
    unsigned hits = 0;
    std::map<std::uint32_t, std::uint64_t> cores_by_package;

    LineReader reader(cpuinfo);
    std::string line;
    while (reader.next(line)) {
        if (!is_valid_utf8(line)) continue;
        const std::string_view text(line);
        const std::size_t colon = text.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view key = trim(text.substr(0, colon));
        std::string_view value = text.substr(colon + 1);
        value = trim(value.substr(0, value.find(':')));

        if (key == "physical id") {
            const auto parsed = parse_unsigned<std::uint32_t>(value);
            if (!parsed) break;
            package = *parsed;
            ++hits;
        } else if (key == "cpu cores") {
            const auto parsed = parse_unsigned<std::uint64_t>(value);
            if (!parsed) break;
            cores = *parsed;
            ++hits;
        }
        // Pairing is by count, not by kind, and is checked on every keyed line.
        if (hits == 2) {
            cores_by_package[package] = cores;
            hits = 0;
        }
    }

    // Saturate rather than wrap: a nonsense file must not yield a small count.
    std::uint64_t total = 0;
    for (const auto& entry : cores_by_package) {
        const std::uint64_t count = entry.second;
        total = count > std::numeric_limits<std::uint64_t>::max() - total
                    ? std::numeric_limits<std::uint64_t>::max()
                    : total + count;
    }
    return total;
}

std::uint64_t count_physical_cores() {
    std::ifstream file("/proc/cpuinfo", std::ios::binary);
    if (!file) return 0;
    return count_physical_cores(file);
}

}  // namespace vorn
