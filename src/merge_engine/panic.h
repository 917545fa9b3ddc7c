// Fatal failures of a merge call: the report written to stderr and the exception that carries it.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace merge_engine {

// Thrown by every failed check inside the engine and the call machinery; the
// entry point turns it into Python's PanicException with what() as message.
class Panic : public std::exception {
  public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

inline constexpr const char* index_out_of_bounds = "ndarray: index out of bounds";
inline constexpr const char* unwrapped_none = "called `Option::unwrap()` on a `None` value";

// "called `Result::unwrap()` on an `Err` value: " followed by the error's text.
std::string unwrapped_error(const std::string& error);

// Writes the failure report for `message` to stderr, from the calling
// thread, then throws Panic(message).
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

}  // namespace merge_engine
