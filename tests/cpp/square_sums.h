#pragma once
// Vectors whose squared Euclidean length, summed in element order from +0.0
// with every product rounded, is exactly a chosen double: rows that sit one
// ulp either side of a bound.

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <vector>

/// The sum as the sequential definition computes it against the origin.
inline double square_sum(const std::vector<double>& v) {
    double sum = 0.0;
    for (double x : v) {
        const double d = 0.0 - x;
        sum += d * d;
    }
    return sum;
}

/// [x, y, 0, ...] of length `dim` (at least 2) whose square sum is exactly
/// `target`, if a nearby x and a small y give it.
inline std::optional<std::vector<double>> with_square_sum(double target, std::size_t dim) {
    double x = std::sqrt(target);
    for (int step = 0; step < 256; ++step, x = std::nextafter(x, 0.0)) {
        const double s1 = x * x;
        if (s1 > target) continue;
        const double base = std::sqrt(target - s1);
        for (double y : {base, std::nextafter(base, 0.0), std::nextafter(base, 1e300)}) {
            std::vector<double> v(dim, 0.0);
            v[0] = x;
            v[1] = y;
            if (square_sum(v) == target) return v;
        }
    }
    return std::nullopt;
}
