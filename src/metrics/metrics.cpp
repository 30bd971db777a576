#include "metrics/metrics.h"

#include <algorithm>

namespace orbisk {

double sum_of_products(const double* a, const double* b, std::size_t n) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
    return sum;
}

double norm(std::span<const float> v) {
    double sum = 0.0;
    for (float f : v) {
        const double x = f;
        sum += x * x;
    }
    return std::sqrt(sum);
}

double euclidean_distance(Vec a, Vec b) {
    const std::size_t n = std::min(a.size(), b.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = a[i] - b[i];
        sum += d * d;
    }
    return std::sqrt(sum);
}

double dot_product(Vec a, Vec b) { return sum_of_products(a.data(), b.data(), std::min(a.size(), b.size())); }

double cosine_similarity(Vec a, Vec b) { return cosine_of(dot_product(a, b), norm(a), norm(b)); }

}  // namespace orbisk
