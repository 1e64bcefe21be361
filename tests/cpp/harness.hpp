// A minimal self-registering test harness: one function per behaviour, a
// failure count, and a watchdog that turns a deadlock into a failure.
#pragma once

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>

namespace vorn_test {

struct Registrar {
    Registrar(const char* name, void (*fn)());
};

void report_failure(const char* file, int line, const std::string& what);

template <class A, class B>
void check_equal(const A& a, const B& b, const char* a_text, const char* b_text,
                 const char* file, int line) {
    if (!(a == b)) {
        std::ostringstream out;
        out << a_text << " == " << b_text << " (" << a << " vs " << b << ")";
        report_failure(file, line, out.str());
    }
}

// Lowercase hex SHA-256 of a byte range; small and slow, for known answers.
std::string sha256_hex(const void* data, std::uint64_t len);

}  // namespace vorn_test

#define VORN_CONCAT_INNER(a, b) a##b
#define VORN_CONCAT(a, b) VORN_CONCAT_INNER(a, b)

#define TEST_CASE(name)                                                   \
    static void name();                                                   \
    static ::vorn_test::Registrar VORN_CONCAT(registrar_, name)(#name, name); \
    static void name()

#define CHECK(cond)                                                       \
    do {                                                                  \
        if (!(cond)) ::vorn_test::report_failure(__FILE__, __LINE__, #cond); \
    } while (0)

#define CHECK_EQ(a, b) ::vorn_test::check_equal((a), (b), #a, #b, __FILE__, __LINE__)
