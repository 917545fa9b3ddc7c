// The bar's line on the stderr terminal, redrawn in place.
#pragma once

#include <cstddef>
#include <string>

#include "progress/line_format.h"

namespace progress {

inline constexpr std::size_t fallback_terminal_width = 80;

// Remembers how many terminal rows the last draw took, so that the next one
// can clear them all before writing over them.
class TerminalLine {
  public:
    // Clears the previous draw and writes `line`, padded to the right edge,
    // in one write. Write errors are ignored: the bar never fails a call.
    void redraw(const RenderedLine& line);

    // The bytes redraw() writes when the terminal is `width` columns wide.
    std::string redraw_text(const RenderedLine& line, std::size_t width);

  private:
    std::size_t drawn_rows_ = 0;
};

}  // namespace progress
