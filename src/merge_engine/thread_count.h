// How many worker threads a call runs on: the argument, the environment, or the processors
// available.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace merge_engine {

inline constexpr std::size_t max_worker_threads = 65535;

// `requested` when positive; for 0, "RAYON_NUM_THREADS", then "RAYON_RS_NUM_CPUS",
// then the processors available to the process. Capped at max_worker_threads.
std::size_t resolve_thread_count(std::uint64_t requested);

// An unsigned decimal with an optional leading '+'; nothing else is a number.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// Processors in the affinity mask, lowered to the cgroup's whole-CPU quota; at least 1.
std::size_t available_processors();

}  // namespace merge_engine
