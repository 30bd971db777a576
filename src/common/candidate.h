#pragma once
// A scored node and the one ranking order that both indexes share.

#include <cmath>
#include <cstdint>

namespace orbisk {

struct Candidate {
    double distance;
    std::uint32_t id;
};

/// Distance order: IEEE comparison (-0.0 == +0.0), every NaN after every
/// number, two NaNs equal.
inline bool distance_less(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

inline bool distance_equal(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

/// Ranking order: distance order, then ascending id. A total order, so any
/// correct selection or sort yields the same sequence.
inline bool ranks_before(const Candidate& a, const Candidate& b) {
    if (distance_less(a.distance, b.distance)) return true;
    if (distance_less(b.distance, a.distance)) return false;
    return a.id < b.id;
}

}  // namespace orbisk
