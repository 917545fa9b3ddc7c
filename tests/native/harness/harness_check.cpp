// Cases that fail on purpose, each in its own way, so that a test can see how the harness
// reports them: a throwing case fails by name and the run goes on to the next.
#include <stdexcept>

#include "check.h"

UNIT_TEST(throws_a_standard_exception) {
    throw std::runtime_error("thrown on purpose");
}

UNIT_TEST(throws_something_else) {
    throw 7;
}

UNIT_TEST(fails_a_check_after_the_throws) {
    CHECK_EQ(1 + 1, 3);
}
