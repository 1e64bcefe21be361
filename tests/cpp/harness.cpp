// Runs every registered test (or those named on the command line) under a
// watchdog, and exits non-zero when any check failed.
#include "harness.hpp"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace vorn_test {
namespace {

struct TestEntry {
    const char* name;
    void (*fn)();
};

std::vector<TestEntry>& registry() {
    static std::vector<TestEntry> tests;
    return tests;
}

int failures = 0;
const char* current_test = "";

// Seconds a test may take; VORN_TEST_WATCHDOG overrides it.
unsigned watchdog_seconds = 120;

// Everything below runs in signal handlers: only async-signal-safe calls
// (write, open, getdents64, tgkill, nanosleep, and backtrace once primed).
void write_text(const char* text) {
    ssize_t ignored = write(2, text, std::strlen(text));
    (void)ignored;
}

void write_number(long value) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0 && n < 23);
    char text[24];
    for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
    text[n] = '\0';
    write_text(text);
}

std::atomic<int> stacks_written{0};

void write_own_stack() {
    write_text("--- thread ");
    write_number(static_cast<long>(syscall(SYS_gettid)));
    write_text(":\n");
    void* frames[64];
    backtrace_symbols_fd(frames, backtrace(frames, 64), 2);
    stacks_written.fetch_add(1);
}

void on_stack_request(int) { write_own_stack(); }

// Asks every other thread of the process for its stack; returns how many
// were asked.
int request_other_stacks() {
    const int dir = open("/proc/self/task", O_RDONLY | O_DIRECTORY);
    if (dir < 0) return 0;
    const long self = syscall(SYS_gettid);
    int asked = 0;
    alignas(8) char entries[4096];
    for (;;) {
        const long got = syscall(SYS_getdents64, dir, entries, sizeof entries);
        if (got <= 0) break;
        for (long at = 0; at < got;) {
            const char* record = entries + at;
            unsigned short length;
            std::memcpy(&length, record + 16, sizeof length);
            const char* name = record + 19;
            long tid = 0;
            for (const char* c = name; *c >= '0' && *c <= '9'; ++c) tid = tid * 10 + (*c - '0');
            if (tid > 0 && tid != self && syscall(SYS_tgkill, getpid(), tid, SIGUSR2) == 0) ++asked;
            at += length;
        }
    }
    close(dir);
    return asked;
}

// A test that does not finish fails the run, naming the test and showing
// where each of its threads stands, instead of hanging it.
void on_alarm(int) {
    write_text("watchdog: test '");
    write_text(current_test);
    write_text("' did not finish within ");
    write_number(watchdog_seconds);
    write_text(" s; stacks of its threads follow\n");
    const int asked = request_other_stacks();
    write_own_stack();
    for (int waited = 0; stacks_written.load() < asked + 1 && waited < 100; ++waited) {
        const timespec pause{0, 10'000'000};
        nanosleep(&pause, nullptr);
    }
    write_text("FAIL ");
    write_text(current_test);
    write_text(" (watchdog)\n");
    _exit(3);
}

void install_watchdog() {
    // backtrace() loads its unwinder on first use, which is not safe inside
    // a signal handler: load it now.
    void* frames[4];
    (void)backtrace(frames, 4);
    if (const char* text = std::getenv("VORN_TEST_WATCHDOG")) {
        const long seconds = std::strtol(text, nullptr, 10);
        if (seconds > 0) watchdog_seconds = static_cast<unsigned>(seconds);
    }
    std::signal(SIGUSR2, on_stack_request);
    std::signal(SIGALRM, on_alarm);
}

// Compact SHA-256 after FIPS 180-4.
struct Sha256 {
    std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    static constexpr std::uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
        0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
        0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
        0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
        0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
        0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
        0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};

    static std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

    void block(const unsigned char* p) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = (std::uint32_t(p[4 * i]) << 24) | (std::uint32_t(p[4 * i + 1]) << 16) |
                   (std::uint32_t(p[4 * i + 2]) << 8) | std::uint32_t(p[4 * i + 3]);
        for (int i = 16; i < 64; ++i) {
            std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6],
                      hh = h[7];
        for (int i = 0; i < 64; ++i) {
            std::uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) +
                               ((e & f) ^ (~e & g)) + k[i] + w[i];
            std::uint32_t t2 =
                (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
        }
        h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
    }
};

}  // namespace

Registrar::Registrar(const char* name, void (*fn)()) { registry().push_back({name, fn}); }

void report_failure(const char* file, int line, const std::string& what) {
    ++failures;
    std::fprintf(stderr, "FAIL [%s] %s:%d: %s\n", current_test, file, line, what.c_str());
}

std::string sha256_hex(const void* data, std::uint64_t len) {
    Sha256 sha;
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint64_t full = len / 64;
    for (std::uint64_t i = 0; i < full; ++i) sha.block(p + 64 * i);
    unsigned char tail[128] = {};
    std::uint64_t rest = len - full * 64;
    std::memcpy(tail, p + full * 64, rest);
    tail[rest] = 0x80;
    std::uint64_t tail_len = rest + 9 <= 64 ? 64 : 128;
    std::uint64_t bits = len * 8;
    for (int i = 0; i < 8; ++i) tail[tail_len - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    for (std::uint64_t off = 0; off < tail_len; off += 64) sha.block(tail + off);
    std::string out;
    char buf[9];
    for (std::uint32_t v : sha.h) {
        std::snprintf(buf, sizeof buf, "%08x", v);
        out += buf;
    }
    return out;
}

}  // namespace vorn_test

int main(int argc, char** argv) {
    using namespace vorn_test;
    install_watchdog();
    int ran = 0;
    for (const auto& test : registry()) {
        bool selected = argc < 2;
        for (int i = 1; i < argc; ++i) selected = selected || std::strcmp(argv[i], test.name) == 0;
        if (!selected) continue;
        current_test = test.name;
        int before = failures;
        alarm(watchdog_seconds);
        test.fn();
        alarm(0);
        ++ran;
        std::fprintf(stderr, "%s %s\n", failures == before ? "ok  " : "FAIL", test.name);
    }
    std::fprintf(stderr, "%d tests, %d failed checks\n", ran, failures);
    if (ran == 0) return 2;
    return failures == 0 ? 0 : 1;
}
