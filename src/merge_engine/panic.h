// Fatal failures of a merge call: the exception that carries one, and the report written for it.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <source_location>
#include <string>

namespace merge_engine {

// Thrown by every failed check inside the engine and the call machinery; the
// entry point turns it into Python's PanicException with what() as message.
// It remembers the thread and the place where it arose, so that the one
// report of a call, written on the calling thread, can still name them.
class Panic : public std::exception {
  public:
    Panic(std::string message, std::source_location where);
    const char* what() const noexcept override { return message_.c_str(); }

    // What to fix, for the exception's notes; empty when the message says it all.
    const std::string& note() const { return note_; }
    void set_note(std::string note) { note_ = std::move(note); }
    void prefix_note(const std::string& prefix) { note_ = prefix + note_; }

    // How many other records of the same call failed too.
    std::size_t other_failures() const { return other_failures_; }
    void set_other_failures(std::size_t count) { other_failures_ = count; }

    // "\nthread '<name>' (<id>) panicked at <file>:<line>:<column>:\n<message>\n"
    std::string report() const;

  private:
    std::string message_;
    std::string note_;
    const char* thread_name_;
    std::int64_t thread_id_;
    std::source_location where_;
    std::size_t other_failures_ = 0;
};

// Memory that a call needs cannot be had; raised as MemoryError with what() as its message.
class OutOfMemory : public std::bad_alloc {
  public:
    explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

inline constexpr const char* index_out_of_bounds = "ndarray: index out of bounds";
inline constexpr const char* unwrapped_none = "called `Option::unwrap()` on a `None` value";

// "called `Result::unwrap()` on an `Err` value: " followed by the error's text.
std::string unwrapped_error(const std::string& error);

// Throws Panic(message), remembering the calling thread and `where`, with `note` as its note.
[[noreturn]] void panic(std::string message, std::string note = {},
                        std::source_location where = std::source_location::current());

// Writes the failure report of `failure` to stderr in one piece: the report,
// on the first failure of the process a note on how to find where failures
// start, and a line counting the other records that failed in the same call.
void write_failure_report(const Panic& failure);

}  // namespace merge_engine
