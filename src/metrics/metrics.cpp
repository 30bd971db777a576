#include "metrics/metrics.h"

#include <algorithm>
#include <cmath>

namespace orbisk {

namespace {

double sum_of_products(const double* a, const double* b, std::size_t n) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
    return sum;
}

}  // namespace

double euclidean_distance(Vec a, Vec b) {
    const std::size_t n = std::min(a.size(), b.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = a[i] - b[i];
        sum += d * d;
    }
    return std::sqrt(sum);
}

double dot_product(Vec a, Vec b) {
    return sum_of_products(a.data(), b.data(), std::min(a.size(), b.size()));
}

double cosine_similarity(Vec a, Vec b) {
    const double dot = sum_of_products(a.data(), b.data(), std::min(a.size(), b.size()));
    const double na = sum_of_products(a.data(), a.data(), a.size());
    const double nb = sum_of_products(b.data(), b.data(), b.size());
    return dot / (std::sqrt(na) * std::sqrt(nb));
}

}  // namespace orbisk
