// The terminal progress bar: for now a hidden bar that draws nothing.
#include "progress/progress_bar.h"

namespace progress {

ProgressBar::ProgressBar(std::uint64_t length) : length_(length) {}

ProgressBar::~ProgressBar() = default;

void ProgressBar::advance() {}

void ProgressBar::finish() {}

}  // namespace progress
