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

// One write call per report keeps reports of concurrent calls apart.
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

Panic::Panic(std::string message, std::source_location where)
    : message_(std::move(message)),
      thread_name_(current_thread_name()),
      thread_id_(::gettid()),
      where_(where) {}

std::string Panic::report() const {
    return "\nthread '" + std::string(thread_name_) + "' (" + std::to_string(thread_id_) +
           ") panicked at " + where_.file_name() + ":" + std::to_string(where_.line()) + ":" +
           std::to_string(where_.column()) + ":\n" + message_ + "\n";
}

std::string unwrapped_error(const std::string& error) {
    return "called `Result::unwrap()` on an `Err` value: " + error;
}

void panic(std::string message, std::string note, std::source_location where) {
    Panic failure(std::move(message), where);
    failure.set_note(std::move(note));
    throw failure;
}

void write_failure_report(const Panic& failure) {
    std::string text = failure.report();
    if (!backtrace_note_written.exchange(true)) {
        text +=
            "note: to see where a failure starts, run Python under gdb with `catch throw` "
            "and print the backtrace when it stops\n";
    }
    if (std::size_t others = failure.other_failures())
        text += std::to_string(others) + (others == 1 ? " other record" : " other records") +
                " of this call failed too; the exception carries the lowest-numbered one\n";
    write_to_stderr(text);
}

}  // namespace merge_engine
