#include "metadata/metadata.h"

#include "common/memory.h"

namespace orbisk {

void MetadataStore::append(const MetadataRecord* record) {
    reserve_more(starts_, 1);
    const std::size_t start = values_.size();
    if (record == nullptr) {
        starts_.push_back({start, 0, false});
        return;
    }
    reserve_more(values_, record->size());
    try {
        // Each value is copied through its own type, so that a text copy
        // that fails does so before any variant exists (a variant whose
        // copy throws is undefined here).
        for (const Metadata& m : *record) values_.push_back(std::visit([](const auto& v) { return Metadata(v); }, m));
    } catch (...) {
        values_.resize(start);
        throw;
    }
    starts_.push_back({start, record->size(), true});
}

const Metadata* MetadataStore::value(std::uint32_t node, std::size_t position) const {
    if (node >= starts_.size()) return nullptr;
    const Range& r = starts_[node];
    if (!r.present || position >= r.size) return nullptr;
    return &values_[r.start + position];
}

void MetadataStore::truncate(std::size_t nodes) {
    if (nodes >= starts_.size()) return;
    values_.resize(starts_[nodes].start);
    starts_.resize(nodes);
}

}  // namespace orbisk
