// Physical-core count: pairs "physical id" with "cpu cores" lines of
// /proc/cpuinfo and sums the core count last seen for each package.
#include "placement/cpuinfo.hpp"

#include <cstddef>
#include <fstream>
#include <limits>
#include <map>
#include <string>
#include <string_view>

#include "common/text.hpp"

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
            const auto parsed = parse_decimal<std::uint32_t>(value);
            if (!parsed) break;
            package = *parsed;
            ++hits;
        } else if (key == "cpu cores") {
            const auto parsed = parse_decimal<std::uint64_t>(value);
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
