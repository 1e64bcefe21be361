// Physical-core counting over /proc/cpuinfo texts: real layouts from fixture
// files, and the line, value and number rules on small built texts.
#include <fstream>
#include <sstream>
#include <string>

#include "harness.hpp"
#include "placement/cpuinfo.hpp"

namespace {

std::uint64_t cores_in_fixture(const char* name) {
    std::ifstream file(std::string(VORN_FIXTURES_DIR) + "/cpuinfo/" + name, std::ios::binary);
    CHECK(file.is_open());
    return vorn::count_physical_cores(file);
}

std::uint64_t cores_in_text(const std::string& text) {
    std::istringstream stream(text);
    return vorn::count_physical_cores(stream);
}

// One processor block as x86 Linux writes it.
std::string block(const std::string& package, const std::string& cores) {
    return "processor\t: 0\nvendor_id\t: GenuineIntel\nphysical id\t: " + package +
           "\nsiblings\t: 8\ncore id\t\t: 0\ncpu cores\t: " + cores + "\nflags\t\t: fpu vme\n\n";
}

}  // namespace

TEST_CASE(cpuinfo_fixture_layouts) {
    // 64 hardware threads over two packages of 16 cores: hyper-threads do not count.
    CHECK_EQ(cores_in_fixture("two_sockets_hyperthreads.txt"), 32u);
    // Arm kernels write neither key: nothing to count, the caller falls back.
    CHECK_EQ(cores_in_fixture("arm_without_keys.txt"), 0u);
    // A blank id stops the scan; package 0 (4 cores) was recorded before it,
    // package 1 (8 cores) comes after it and is never seen.
    CHECK_EQ(cores_in_fixture("blank_physical_id.txt"), 4u);
    // Values end at the second colon: 6 + 2.
    CHECK_EQ(cores_in_fixture("two_colons.txt"), 8u);
    // The undecodable line would stop the scan if read; skipped, 4 + 6.
    CHECK_EQ(cores_in_fixture("invalid_utf8.txt"), 10u);
}

TEST_CASE(cpuinfo_file_on_this_machine) {
    std::ifstream file("/proc/cpuinfo", std::ios::binary);
    CHECK(file.is_open());
    CHECK_EQ(vorn::count_physical_cores(), vorn::count_physical_cores(file));
}

TEST_CASE(cpuinfo_pairs_by_count_and_last_value_wins) {
    CHECK_EQ(cores_in_text(""), 0u);
    CHECK_EQ(cores_in_text(block("0", "4") + block("1", "4")), 8u);
    // The same package seen again takes its latest core count.
    CHECK_EQ(cores_in_text(block("0", "4") + block("0", "6")), 6u);
    // Two ids in a row complete a pair: the second id takes the core count
    // held so far, the first is never recorded.
    CHECK_EQ(cores_in_text(block("0", "4") + "physical id\t: 1\nphysical id\t: 2\n"), 8u);
    // "cpu cores" before "physical id" pairs just the same.
    CHECK_EQ(cores_in_text("cpu cores\t: 5\nphysical id\t: 3\n"), 5u);
    // A lone key never completes a pair.
    CHECK_EQ(cores_in_text("cpu cores\t: 5\n"), 0u);
    // Keys are matched exactly after trimming; other spellings are other keys.
    CHECK_EQ(cores_in_text("  physical id  \t: 0\n\tcpu cores : 3\n"), 3u);
    CHECK_EQ(cores_in_text("Physical Id\t: 0\ncpu  cores\t: 3\nphysical id 0\ncpu cores 3\n"), 0u);
    // No newline after the last line.
    CHECK_EQ(cores_in_text("physical id\t: 0\ncpu cores\t: 7"), 7u);
    CHECK_EQ(cores_in_text("physical id\t: 0\r\ncpu cores\t: 7\r\n"), 7u);
}

TEST_CASE(cpuinfo_number_rules) {
    // Package 0 with 2 cores comes first and package 9 with 100 cores last, so
    // a value that stops the scan yields 2 and one that parses adds its cores + 100.
    constexpr std::uint64_t stopped = 2;
    constexpr std::uint64_t max = 18446744073709551615u;
    struct Case {
        const char* package;
        const char* cores;
        std::uint64_t expected;
    };
    const Case cases[] = {
        {"1", "16", 118},
        {"1", "+16", 118},                    // a leading '+' is allowed
        {"+1", "16", 118},
        {"00001", "016", 118},
        {"4294967295", "3", 105},             // largest package id
        {"1", "18446744073709551613", max},   // the sum saturates instead of wrapping
        {"4294967296", "3", stopped},         // package id beyond 32 bits
        {"1", "18446744073709551616", stopped},  // core count beyond 64 bits
        {"-1", "3", stopped},
        {"1", "-3", stopped},
        {"", "3", stopped},
        {"+", "3", stopped},
        {"++1", "3", stopped},
        {"1 2", "3", stopped},
        {"0x1", "3", stopped},
        {"1", "3.0", stopped},
        {"1", "", stopped},
    };
    for (const Case& c : cases) {
        CHECK_EQ(cores_in_text(block("0", "2") + block(c.package, c.cores) + block("9", "100")),
                 c.expected);
    }
}

TEST_CASE(cpuinfo_trims_unicode_whitespace) {
    // No-break, em and ideographic spaces, vertical tab and form feed pad these values.
    CHECK_EQ(cores_in_text("physical id\t:\xc2\xa0\xe2\x80\x83" "1\xe3\x80\x80\ncpu cores\t:\v4\f\n"), 4u);
    // A whitespace-only value stops the scan like an empty one.
    CHECK_EQ(cores_in_text(block("0", "2") + "physical id\t: \xe2\x80\x83\n" + block("1", "5")), 2u);
}

TEST_CASE(cpuinfo_skips_only_invalid_utf8) {
    const std::string tail = block("1", "6");
    // Each of these, read as a value, would stop the scan and lose the tail.
    const char* invalid[] = {
        "\xff",              // never valid
        "\x80",              // lone continuation byte
        "\xc0\xaf",          // overlong '/'
        "\xe0\x80\xaf",      // overlong three-byte form
        "\xed\xa0\x80",      // UTF-16 surrogate
        "\xf4\x90\x80\x80",  // above U+10FFFF
        "\xe2\x82",          // truncated at the end of the line
        "\xf0\x9f\x98",      // truncated four-byte form
    };
    for (const char* bytes : invalid) {
        CHECK_EQ(cores_in_text(block("0", "4") + "cpu cores\t: 3" + bytes + "\n" + tail), 10u);
    }
    // Valid multi-byte text is read normally: here after the second colon,
    // so the values still parse and count.
    const char* valid[] = {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xed\x9f\xbf",
                           "\xf4\x8f\xbf\xbf"};
    for (const char* bytes : valid) {
        CHECK_EQ(cores_in_text(std::string("physical id\t: 0:") + bytes + "\ncpu cores\t: 3 :" +
                               bytes + "\n"),
                 3u);
    }
    // A valid line with a failing value still stops the scan.
    CHECK_EQ(cores_in_text(block("0", "4") + "cpu cores\t: 3\xc3\xa9\n" + tail), 4u);
}

TEST_CASE(cpuinfo_lines_longer_than_the_read_buffer) {
    // A 20000-byte flags line, then a key line that straddles the 8192-byte
    // boundary between two reads.
    std::string text = "physical id\t: 2\nflags\t\t: " + std::string(20000, 'x') + "\n";
    text += std::string(24576 - 5 - text.size(), 'y') + "\n";
    text += "cpu cores\t: 11\n";
    CHECK(text.size() > 24576);
    CHECK_EQ(cores_in_text(text), 11u);
}
