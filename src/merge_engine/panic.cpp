// Failure reports on stderr and the Panic exception that ends a merge call.
#include "merge_engine/panic.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace merge_engine {

namespace {

std::atomic<bool> backtrace_note_written{false};

// Threads the engine starts carry no name; the process's first thread is "main".
const char* current_thread_name() {
    return ::gettid() == ::getpid() ? "main" : "<unnamed>";
}

// One write call per report keeps reports of concurrent failures apart.
void write_to_stderr(const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace

std::string unwrapped_error(const std::string& error) {
    return "called `Result::unwrap()` on an `Err` value: " + error;
}

void panic(std::string message, std::source_location where) {
    std::string report = "\nthread '" + std::string(current_thread_name()) + "' (" +
                         std::to_string(::gettid()) + ") panicked at " + where.file_name() + ":" +
                         std::to_string(where.line()) + ":" + std::to_string(where.column()) +
                         ":\n" + message + "\n";
    if (!backtrace_note_written.exchange(true)) {
        report +=
            "note: to see where a failure starts, run Python under gdb with `catch throw` "
            "and print the backtrace when it stops\n";
    }
    write_to_stderr(report);
    throw Panic(std::move(message));
}

}  // namespace merge_engine
