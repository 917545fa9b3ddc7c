// How many worker threads a call runs on: the argument, the environment, or the processors
// available.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace merge_engine {

// Workers per available processor that the pool may hold. More threads than processors
// gain nothing on this work; a few times as many still let a caller who asks for more
// (to test, or because its own count comes from elsewhere) get them, while no request can
// exhaust the threads or processes the system allows its users.
inline constexpr std::size_t workers_per_processor = 4;

// workers_per_processor times `processors`, at least 1.
std::size_t worker_bound_for(std::size_t processors);

// The most workers the pool ever holds: worker_bound_for(available_processors()),
// found on the first need in the process and kept.
std::size_t worker_thread_bound();

// `requested` when positive; for 0, "RAYON_NUM_THREADS", then "RAYON_RS_NUM_CPUS",
// then the processors available to the process. Capped at worker_thread_bound().
std::size_t resolve_thread_count(std::uint64_t requested);

// An unsigned decimal with an optional leading '+'; nothing else is a number.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// Processors in the affinity mask, lowered to the cgroup's whole-CPU quota; at least 1.
std::size_t available_processors();

}  // namespace merge_engine
