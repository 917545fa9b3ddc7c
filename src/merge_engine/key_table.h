// KeyTable: an open-addressing hash table from key pairs to the first index inserted under them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "merge_engine/keys.h"

namespace merge_engine {

class KeyTable {
  public:
    // Room for up to `max_keys` distinct keys.
    explicit KeyTable(std::size_t max_keys) {
        std::size_t capacity = 16;
        while (capacity < max_keys + max_keys / 2) capacity *= 2;
        slots_.resize(capacity);
    }

    // Inserts `value` unless `key` is present already; returns the value now
    // stored under it, so the first insertion of a key wins.
    std::size_t insert_first(KeyPair key, std::size_t value) {
        Slot& slot = slots_[probe(key)];
        if (slot.value == empty) slot = {key, value};
        return slot.value;
    }

    std::optional<std::size_t> find(KeyPair key) const {
        const Slot& slot = slots_[probe(key)];
        if (slot.value == empty) return std::nullopt;
        return slot.value;
    }

  private:
    // Values are row numbers, so the largest size_t is free to mark an empty slot.
    static constexpr std::size_t empty = static_cast<std::size_t>(-1);

    struct Slot {
        KeyPair key{};
        std::size_t value = empty;
    };

    static std::uint64_t mix(std::uint64_t x) {
        x ^= x >> 30;
        x *= 0xbf58476d1ce4e5b9ULL;
        x ^= x >> 27;
        x *= 0x94d049bb133111ebULL;
        return x ^ (x >> 31);
    }

    // Linear probing; the table is at most two-thirds full, so a free slot exists.
    std::size_t probe(KeyPair key) const {
        std::size_t mask = slots_.size() - 1;
        std::size_t index = mix(key.first ^ mix(key.second)) & mask;
        while (slots_[index].value != empty && !(slots_[index].key == key))
            index = (index + 1) & mask;
        return index;
    }

    std::vector<Slot> slots_;
};

}  // namespace merge_engine
