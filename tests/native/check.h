// A minimal harness for the native unit tests: self-registering cases, and checks that report
// and go on (a case that throws is reported by name, and the run goes on too).
#pragma once

#include <sstream>
#include <string>

namespace unit {

using CaseFunction = void (*)();

// Adds a case to the list that main() runs; used through UNIT_TEST.
struct Registration {
    Registration(const char* name, CaseFunction run);
};

// Counts a failed check and prints where it failed and why.
void report_failure(const char* file, int line, const std::string& what);

template <class Actual, class Expected>
void check_equal(const Actual& actual, const Expected& expected, const char* actual_text,
                 const char* file, int line) {
    if (actual == expected) return;
    std::ostringstream what;
    what << actual_text << "\n    actual:   " << actual << "\n    expected: " << expected;
    report_failure(file, line, what.str());
}

}  // namespace unit

#define UNIT_TEST(name)                                               \
    static void name();                                               \
    static const unit::Registration name##_registration(#name, name); \
    static void name()

#define CHECK(condition) \
    ((condition) ? void() : unit::report_failure(__FILE__, __LINE__, "CHECK(" #condition ")"))

#define CHECK_EQ(actual, expected) \
    unit::check_equal((actual), (expected), #actual, __FILE__, __LINE__)
