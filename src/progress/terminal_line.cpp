// In-place redraws of the progress line on stderr.
#include "progress/terminal_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace progress {

namespace {

// Read at every redraw, since the terminal may be resized while a call runs.
std::size_t stderr_width() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return fallback_terminal_width;
}

// Stderr is unbuffered, so the whole redraw goes out in one write; the flush
// is there in case the process made it buffered. Failures are ignored: a
// lost frame is better than a failed call.
void write_to_stderr(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// Leaves the cursor at the start of the first of `rows` rows, all of them blank.
void append_erase(std::string& out, std::size_t rows) {
    if (rows == 0) return;
    std::string back_to_first = rows > 1 ? "\x1b[" + std::to_string(rows - 1) + "A" : "";
    out += back_to_first;
    for (std::size_t row = 0; row < rows; ++row) {
        if (row > 0) out += "\x1b[B";
        out += "\r\x1b[2K";
    }
    out += back_to_first;
}

}  // namespace

std::string TerminalLine::redraw_text(const RenderedLine& line, std::size_t width) {
    std::string out;
    append_erase(out, drawn_rows_);
    // Padding to the right edge makes whatever follows the line start on a
    // row of its own, and a wrapped line fills every row it takes.
    std::size_t rows = std::max<std::size_t>(1, (line.columns + width - 1) / width);
    out += line.text;
    out.append(rows * width - line.columns, ' ');
    drawn_rows_ = rows;
    return out;
}

void TerminalLine::redraw(const RenderedLine& line) {
    write_to_stderr(redraw_text(line, stderr_width()));
}

}  // namespace progress
