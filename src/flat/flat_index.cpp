#include "flat/flat_index.h"

#include <algorithm>
#include <string>

namespace orbisk {

std::string_view name(FlatError e) {
    switch (e) {
        case FlatError::EmptyIndex: return "EmptyIndex";
        case FlatError::EmptyVectors: return "EmptyVectors";
        case FlatError::MetadataMismatch: return "MetadataMismatch";
        case FlatError::NoSchema: return "NoSchema";
        case FlatError::EmptySchema: return "EmptySchema";
        case FlatError::AttributeNotFound: return "AttributeNotFound";
    }
    return "FlatError";
}

void Flat::insert(Vec vector) {
    if (vector.size() != dim_) {
        throw InternalFailure("Vector length " + std::to_string(vector.size()) +
                              " does not match index dimension " + std::to_string(dim_));
    }
    if (dim_ != 0 && size() >= max_vectors) {
        throw CapacityExceeded();
    }
    reserve_more(vectors_, vector.size());
    vectors_.insert(vectors_.end(), vector.begin(), vector.end());
}

std::optional<FlatError> Flat::create(std::span<const std::vector<double>> vectors) {
    if (vectors.empty()) return FlatError::EmptyVectors;
    for (const auto& v : vectors) insert(v);
    return std::nullopt;
}

std::optional<FlatError> Flat::search(Vec query, std::uint32_t k,
                                      std::vector<Candidate>& out) const {
    out.clear();
    if (vectors_.empty()) return FlatError::EmptyIndex;
    const std::size_t n = size();
    out.resize(n);
    const double* row = vectors_.data();
    for (std::size_t i = 0; i < n; ++i, row += dim_) {
        out[i] = {metric_(query, Vec(row, dim_)), static_cast<std::uint32_t>(i)};
    }
    // The ranking order is total, so the first max(k, 1) of a partial sort are
    // exactly what repeated heap pops would give.
    const std::size_t keep = std::min<std::size_t>(n, std::max<std::uint32_t>(k, 1));
    std::partial_sort(out.begin(), out.begin() + keep, out.end(), ranks_before);
    out.resize(keep);
    return std::nullopt;
}

}  // namespace orbisk
