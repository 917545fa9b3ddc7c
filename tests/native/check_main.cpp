// Runs every registered unit test case and fails when any check failed.
#include <cstdio>
#include <vector>

#include "check.h"

namespace unit {

namespace {

struct Case {
    const char* name;
    CaseFunction run;
};

// A function-local list, so registrations from any file find it constructed.
std::vector<Case>& all_cases() {
    static std::vector<Case> cases;
    return cases;
}

const char* current_case = "";
int failed_checks = 0;

}  // namespace

Registration::Registration(const char* name, CaseFunction run) {
    all_cases().push_back({name, run});
}

void report_failure(const char* file, int line, const std::string& what) {
    ++failed_checks;
    std::printf("FAIL %s (%s:%d)\n    %s\n", current_case, file, line, what.c_str());
}

}  // namespace unit

int main() {
    for (const auto& test_case : unit::all_cases()) {
        unit::current_case = test_case.name;
        test_case.run();
    }
    std::printf("%zu cases, %d failed checks\n", unit::all_cases().size(), unit::failed_checks);
    return unit::failed_checks == 0 ? 0 : 1;
}
