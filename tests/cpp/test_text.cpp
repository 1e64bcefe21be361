// Trimming and number parsing shared by the /proc and control-group readers,
// on text that may be anything at all.
#include <cstdint>
#include <string>

#include "common/text.hpp"
#include "harness.hpp"

using namespace vorn;

TEST_CASE(trim_removes_unicode_whitespace_only) {
    CHECK_EQ(std::string(trim(" \t 42 \r\n")), "42");
    // No-break and em spaces trim like blanks.
    CHECK_EQ(std::string(trim("\xc2\xa0" "7" "\xe2\x80\x83")), "7");
    CHECK_EQ(std::string(trim("   ")), "");
    CHECK_EQ(std::string(trim("")), "");
    // Bytes that are not UTF-8 stop the trimming and stay.
    CHECK_EQ(std::string(trim("\xff 5 \xe2\x80\x83")), "\xff 5");
    CHECK_EQ(std::string(trim(" 5\xe2\x80")), "5\xe2\x80");
    CHECK_EQ(std::string(trim("\xe2\x80")), "\xe2\x80");
    CHECK(is_valid_utf8("caf\xc3\xa9"));
    CHECK(!is_valid_utf8("caf\xc3"));
    CHECK(!is_valid_utf8("\xed\xa0\x80"));  // a surrogate
}

TEST_CASE(decimal_numbers_and_nothing_else) {
    CHECK(parse_decimal<std::uint32_t>("16") == 16u);
    CHECK(parse_decimal<std::uint32_t>("+16") == 16u);
    CHECK(parse_decimal<std::int64_t>("-5") == std::int64_t{-5});
    CHECK(parse_decimal<std::int64_t>("+5") == std::int64_t{5});
    CHECK(!parse_decimal<std::uint32_t>("-5"));
    CHECK(!parse_decimal<std::int64_t>("+-5"));
    CHECK(!parse_decimal<std::int64_t>("-+5"));
    CHECK(!parse_decimal<std::uint32_t>("++1"));
    CHECK(!parse_decimal<std::uint32_t>("+"));
    CHECK(!parse_decimal<std::uint32_t>(""));
    CHECK(!parse_decimal<std::uint32_t>(" 1"));
    CHECK(!parse_decimal<std::uint32_t>("1x"));
    CHECK(!parse_decimal<std::uint32_t>("4294967296"));  // overflow
    CHECK(parse_decimal<std::uint64_t>("18446744073709551615") == UINT64_MAX);
}
