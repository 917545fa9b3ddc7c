// In-place redraws: what each one clears and how far it pads.
#include <string>

#include "check.h"
#include "progress/terminal_line.h"

namespace {

progress::RenderedLine line_of(std::size_t columns, char fill) {
    return {std::string(columns, fill), columns};
}

}  // namespace

UNIT_TEST(redraw_pads_to_the_right_edge_and_clears_the_previous_row) {
    progress::TerminalLine terminal;
    CHECK_EQ(terminal.redraw_text(line_of(66, 'a'), 100),
             std::string(66, 'a') + std::string(34, ' '));
    CHECK_EQ(terminal.redraw_text(line_of(70, 'b'), 100),
             "\r\x1b[2K" + std::string(70, 'b') + std::string(30, ' '));
    CHECK_EQ(terminal.redraw_text(line_of(80, 'c'), 80), "\r\x1b[2K" + std::string(80, 'c'));
}

UNIT_TEST(redraw_of_a_wrapped_line_fills_its_rows_and_clears_them_all_next_time) {
    progress::TerminalLine terminal;
    CHECK_EQ(terminal.redraw_text(line_of(77, 'a'), 30),
             std::string(77, 'a') + std::string(13, ' '));
    CHECK_EQ(terminal.redraw_text(line_of(77, 'b'), 100),
             "\x1b[2A\r\x1b[2K\x1b[B\r\x1b[2K\x1b[B\r\x1b[2K\x1b[2A" + std::string(77, 'b') +
                 std::string(23, ' '));
    CHECK_EQ(terminal.redraw_text(line_of(10, 'c'), 100),
             "\r\x1b[2K" + std::string(10, 'c') + std::string(90, ' '));
}
