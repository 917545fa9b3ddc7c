// Runs every registered unit test case and fails when any check failed or any case threw.
#include <cstdio>
#include <exception>
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
int thrown_cases = 0;

// Runs one case; an exception that leaves it fails the case, by name, and the run goes on.
void run_case(const Case& test_case) {
    current_case = test_case.name;
    try {
        test_case.run();
        return;
    } catch (const std::exception& error) {
        std::printf("FAIL %s threw\n    %s\n", test_case.name, error.what());
    } catch (...) {
        std::printf("FAIL %s threw\n    something that is not a std::exception\n", test_case.name);
    }
    ++thrown_cases;
}

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
    for (const auto& test_case : unit::all_cases()) unit::run_case(test_case);
    std::printf("%zu cases, %d failed checks, %d cases threw\n", unit::all_cases().size(),
                unit::failed_checks, unit::thrown_cases);
    return unit::failed_checks == 0 && unit::thrown_cases == 0 ? 0 : 1;
}
