// The failures of a call's records: the lowest-numbered one is raised, the others counted.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>

#include "merge_engine/panic.h"

namespace merge_engine {

class RecordFailures {
  public:
    // Safe from any thread.
    void add(std::size_t record, Panic failure) {
        std::lock_guard lock(mutex_);
        ++count_;
        if (!lowest_ || record < record_) {
            record_ = record;
            lowest_.emplace(std::move(failure));
        }
    }

    bool any() const { return count_ != 0; }

    // Throws the lowest-numbered record's failure, telling how many others failed.
    [[noreturn]] void raise() {
        Panic failure = std::move(*lowest_);
        failure.set_other_failures(count_ - 1);
        throw failure;
    }

  private:
    std::mutex mutex_;
    std::size_t count_ = 0;
    std::size_t record_ = 0;
    std::optional<Panic> lowest_;
};

}  // namespace merge_engine
