// A small self-contained test harness for the C++ tests: COMM_TEST registers
// a function, COMM_CHECK/COMM_CHECK_EQ report file:line with both values and
// carry on, so one run lists every failure. ctest only needs the exit code,
// and nobody running the tests has to install a test framework first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <type_traits>
#include <vector>

namespace comm::check {

struct TestCase {
    const char *name;
    void (*run)();
};

inline std::vector<TestCase> &
registry()
{
    static std::vector<TestCase> tests;
    return tests;
}

inline int failed_checks = 0;

inline bool
add(const char *name, void (*run)())
{
    registry().push_back(TestCase{name, run});
    return true;
}

inline std::string
describe(const std::vector<std::uint8_t> &bytes)
{
    std::string out = "[";
    char hex[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", bytes[i]);
        out += hex;
    }
    return out + "]";
}

template <class T>
std::string
describe(const T &value)
{
    static_assert(std::is_integral_v<T> || std::is_enum_v<T>);
    // Enums print as their number; uint8_t must not print as a character.
    const auto n = static_cast<unsigned long long>(value);
    char text[48];
    std::snprintf(text, sizeof text, "%llu (0x%llX)", n, n);
    return text;
}

inline void
fail(const char *file, int line, const std::string &what)
{
    ++failed_checks;
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line,
                 what.c_str());
}

template <class A, class B>
void
check_eq(const A &got, const B &want, const char *got_text,
         const char *want_text, const char *file, int line)
{
    if (!(got == want)) {
        fail(file, line,
             std::string(got_text) + " == " + want_text + "\n    got:  " +
                 describe(got) + "\n    want: " + describe(want));
    }
}

// Runs every registered test; the exit status for ctest.
inline int
run_all()
{
    int failed_tests = 0;
    for (const TestCase &test : registry()) {
        const int before = failed_checks;
        try {
            test.run();
        } catch (const std::exception &e) {
            fail(test.name, 0, std::string("exception: ") + e.what());
        } catch (...) {
            fail(test.name, 0, "unknown exception");
        }
        const bool ok = failed_checks == before;
        failed_tests += ok ? 0 : 1;
        std::printf("[%s] %s\n", ok ? " OK " : "FAIL", test.name);
    }
    std::printf("%zu tests, %d failed\n", registry().size(), failed_tests);
    return failed_tests == 0 ? 0 : 1;
}

}  // namespace comm::check

#define COMM_TEST(name)                                                     \
    static void name();                                                     \
    static const bool name##_registered = ::comm::check::add(#name, &name); \
    static void name()

#define COMM_CHECK(cond)                                             \
    ((cond) ? static_cast<void>(0)                                   \
            : ::comm::check::fail(__FILE__, __LINE__, #cond))

#define COMM_CHECK_EQ(got, want) \
    ::comm::check::check_eq((got), (want), #got, #want, __FILE__, __LINE__)
