#pragma once
// What a walk can use of a literal neighbour list: the first occurrence of
// each id, in order, without the owner itself.

#include <algorithm>
#include <cstdint>
#include <vector>

inline std::vector<std::uint32_t> effective(const std::vector<std::uint32_t>& literal, std::uint32_t owner) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t id : literal) {
        if (id != owner && std::find(out.begin(), out.end(), id) == out.end()) out.push_back(id);
    }
    return out;
}
