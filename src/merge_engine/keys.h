// The two ways crop-row keys are compared: converted to unsigned 64-bit, or as exact floats.
#pragma once

#include <bit>
#include <cstdint>

namespace merge_engine {

// Saturating conversion: NaN and everything below 1 give 0, 2^64 and above
// give 2^64 - 1, the rest is truncated toward zero (3.99 gives 3).
inline std::uint64_t converted_key(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(value);
}

// A pair of keys reduced to 128 bits for hashing and equality.
struct KeyPair {
    std::uint64_t first;
    std::uint64_t second;
    bool operator==(const KeyPair&) const = default;
};

inline KeyPair converted_pair(double first, double second) {
    return {converted_key(first), converted_key(second)};
}

// Bits of a float under exact comparison: 0.0 and -0.0 are one value.
// NaN equals nothing, so callers must keep it out of any table.
inline std::uint64_t exact_key(double value) {
    return std::bit_cast<std::uint64_t>(value == 0.0 ? 0.0 : value);
}

inline KeyPair exact_pair(double first, double second) {
    return {exact_key(first), exact_key(second)};
}

}  // namespace merge_engine
