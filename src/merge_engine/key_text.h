// Crop-row keys as failure notes show them: "(3, 4)".
#pragma once

#include <charconv>
#include <string>

#include "merge_engine/keys.h"

namespace merge_engine {

// The shortest text that reads back as the same double: 3, 2.7, 1e+20, nan.
inline std::string number_text(double value) {
    char text[32];
    auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

inline std::string key_text(KeyPair keys) {
    return "(" + std::to_string(keys.first) + ", " + std::to_string(keys.second) + ")";
}

inline std::string key_text(double first, double second) {
    return "(" + number_text(first) + ", " + number_text(second) + ")";
}

}  // namespace merge_engine
