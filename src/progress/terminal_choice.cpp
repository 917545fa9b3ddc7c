// The environment's say over the progress output: terminal test, colour switches.
#include "progress/terminal_choice.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace progress {

namespace {

bool is_set_and_not(const char* name, const char* value) {
    const char* text = std::getenv(name);
    return text != nullptr && std::strcmp(text, value) != 0;
}

bool decide_colours() {
    const char* clicolor = std::getenv("CLICOLOR");
    bool wanted = clicolor == nullptr || std::strcmp(clicolor, "0") != 0;
    return (stderr_is_colour_terminal() && wanted) || is_set_and_not("CLICOLOR_FORCE", "0");
}

}  // namespace

bool stderr_is_colour_terminal() {
    return ::isatty(STDERR_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr &&
           is_set_and_not("TERM", "dumb");
}

bool colours_enabled() {
    static const bool enabled = decide_colours();
    return enabled;
}

}  // namespace progress
