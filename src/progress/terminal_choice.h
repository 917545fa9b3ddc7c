// Whether the bar draws on stderr at all, and whether it draws in colour.
#pragma once

namespace progress {

// Stderr is a terminal, "NO_COLOR" is unset and "TERM" is set and not "dumb".
bool stderr_is_colour_terminal();

// Decided once per process, on the first call: a colour terminal whose
// "CLICOLOR" is not "0", or any "CLICOLOR_FORCE" other than "0".
bool colours_enabled();

}  // namespace progress
