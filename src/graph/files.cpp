// Removal, compaction, and the graph's parts: what a file keeps, and the
// checks a restore makes before it takes anything.

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "common/failure.h"
#include "graph/graph.h"
#include "graph/scratch.h"

namespace orbisk {

void Graph::remove(std::span<const std::uint32_t> ids) {
    std::vector<std::uint64_t> live = live_;
    if (!removed_) live.assign((count_ + 63) / 64, ~std::uint64_t{0});
    for (std::uint32_t id : ids) {
        if (id >= count_) throw std::out_of_range("row " + std::to_string(id) + " is past the last row");
        const std::uint64_t bit = std::uint64_t{1} << (id % 64);
        if (!(live[id / 64] & bit)) throw std::invalid_argument("row " + std::to_string(id) + " is removed already");
        live[id / 64] &= ~bit;
    }
    live_ = std::move(live);
    removed_ += ids.size();
}

void Graph::repair(Scratch& s, std::uint32_t node, std::uint32_t layer, std::vector<std::uint32_t>& out) const {
    // The live neighbours, and the live neighbours of the removed ones: the
    // nodes a walk reached through the removed ones, pruned by the same
    // heuristic as at insertion.
    s.begin();
    s.visit(node);
    s.links.clear();
    for (std::uint32_t y : links(node, layer)) {
        if (!is_removed(y)) {
            if (s.visit(y)) s.links.push_back(y);
            continue;
        }
        for (std::uint32_t z : links(y, layer)) {
            if (!is_removed(z) && s.visit(z)) s.links.push_back(z);
        }
    }
    code_row(s.base, node);
    s.near.resize(s.links.size());
    s.raw.resize(s.links.size());
    code_distances(s, s.base, s.links.data(), s.links.size(), s.near.data());
    s.pool.clear();
    for (std::size_t i = 0; i < s.links.size(); ++i) s.pool.push_back({s.near[i], s.links[i]});
    std::sort(s.pool.begin(), s.pool.end(), ranks_before);
    select(s, s.pool, capacity(layer), out);
}

void Graph::compact() {
    if (!removed_) return;
    const std::size_t live = count_ - removed_;
    std::vector<std::uint32_t> to(count_, no_link);
    std::uint32_t next = 0, entry = 0, top = 0;
    for (std::size_t id = 0; id < count_; ++id) {
        if (is_removed(id)) continue;
        if (next == 0 || levels_[id] > top) {
            top = levels_[id];
            entry = next;
        }
        to[id] = next++;
    }
    if (!is_removed(entry_)) {
        entry = to[entry_];
        top = top_;
    }
    SharedArray<double> rows;
    rows.reserve_more(live * params_.dim);
    LineVector<std::uint8_t> records(live * stride_);
    LineVector<std::uint32_t> bottom(live * 2 * params_.m, no_link);
    std::vector<std::uint32_t> upper;
    std::vector<std::uint8_t> levels;
    levels.reserve(live);
    Scratch s;
    s.size_for(count_, capacity(0) * (capacity(0) + 1), capacity(0), params_.dim, code_bytes_);
    std::vector<std::uint32_t> repaired;
    for (std::size_t id = 0; id < count_; ++id) {
        if (to[id] == no_link) continue;
        const std::uint32_t n = to[id];
        rows.append(row(id).data(), params_.dim);
        std::memcpy(records.data() + n * stride_, record(id), stride_);
        const auto at = static_cast<std::uint32_t>(upper.size());
        std::memcpy(records.data() + n * stride_ + code_bytes_ + 8, &at, 4);
        levels.push_back(levels_[id]);
        upper.resize(upper.size() + std::size_t{levels_[id]} * params_.m, no_link);
        for (std::uint32_t layer = 0; layer <= levels_[id]; ++layer) {
            const auto old = links(id, layer);
            const bool cut = std::any_of(old.begin(), old.end(), [&](std::uint32_t y) { return is_removed(y); });
            if (cut) {
                repair(s, static_cast<std::uint32_t>(id), layer, repaired);
            } else {
                repaired.assign(old.begin(), old.end());
            }
            std::uint32_t* l = layer == 0 ? bottom.data() + std::size_t{n} * 2 * params_.m
                                          : upper.data() + at + (layer - 1) * params_.m;
            for (std::size_t j = 0; j < repaired.size(); ++j) l[j] = to[repaired[j]];
        }
    }
    rows_ = std::move(rows);
    records_ = std::move(records);
    bottom_ = std::move(bottom);
    upper_ = std::move(upper);
    levels_ = std::move(levels);
    live_.clear();
    removed_ = 0;
    count_ = live;
    entry_ = entry;
    top_ = top;
}

GraphParts Graph::parts() const {
    return {rows_.data(), levels_.data(), bottom_.data(), upper_.data(), upper_.size(), entry_, records_.data()};
}

std::string Graph::check_lists(std::size_t count, const std::uint8_t* levels, const std::uint32_t* bottom,
                               const std::uint32_t* upper, std::size_t upper_size, std::uint32_t entry) const {
    if (count == 0) return upper_size == 0 ? "" : "upper lists without nodes";
    if (entry >= count) return "the entry point is past the last node";
    std::size_t words = 0;
    std::uint32_t top = 0;
    for (std::size_t id = 0; id < count; ++id) {
        if (levels[id] > max_graph_level) return "node " + std::to_string(id) + " has a level above the highest";
        top = std::max<std::uint32_t>(top, levels[id]);
        words += std::size_t{levels[id]} * params_.m;
    }
    if (words != upper_size) return "the upper lists do not match the levels";
    if (levels[entry] != top) return "the entry point is not on the top level";
    // Marks by generation: each list's ids marked once, a second mark is a
    // repeated id.
    std::vector<std::uint32_t> marks(count, 0);
    std::uint32_t generation = 0;
    std::size_t at = 0;
    for (std::size_t id = 0; id < count; ++id) {
        for (std::uint32_t layer = 0; layer <= levels[id]; ++layer) {
            const std::uint32_t* l = layer == 0 ? bottom + id * 2 * params_.m : upper + at + (layer - 1) * params_.m;
            if (++generation == 0) {
                std::fill(marks.begin(), marks.end(), 0);
                generation = 1;
            }
            bool ended = false;
            for (std::uint32_t j = 0; j < capacity(layer); ++j) {
                const std::uint32_t e = l[j];
                const std::string where = "node " + std::to_string(id) + " layer " + std::to_string(layer);
                if (e == no_link) {
                    ended = true;
                    continue;
                }
                if (ended) return where + ": a link after an empty slot";
                if (e >= count) return where + ": a link past the last node";
                if (e == id) return where + ": a link to itself";
                if (levels[e] < layer) return where + ": a link to a node below the layer";
                if (marks[e] == generation) return where + ": a link twice";
                marks[e] = generation;
            }
        }
        at += std::size_t{levels[id]} * params_.m;
    }
    return "";
}

std::string Graph::check() const {
    std::string broken = check_lists(count_, levels_.data(), bottom_.data(), upper_.data(), upper_.size(), entry_);
    if (!broken.empty()) return broken;
    if (count_ && top_ != levels_[entry_]) return "the top level is not the entry point's";
    for (std::size_t id = 0, at = 0; id < count_; at += std::size_t{levels_[id]} * params_.m, ++id) {
        if (upper_at(id) != at) return "node " + std::to_string(id) + " has its upper lists misplaced";
    }
    return "";
}

std::string Graph::restore(std::size_t count, const GraphParts& parts, SharedArray<double>::Block keep, bool verify) {
    if (count_ != 0 || count > max_vectors) throw InternalFailure("restore: not an empty graph");
    std::string broken = check_lists(count, parts.levels, parts.bottom, parts.upper, parts.upper_size, parts.entry);
    if (!broken.empty()) return broken;
    Graph g(params_);
    g.rows_ = SharedArray<double>::adopt(parts.rows, count * params_.dim, std::move(keep));
    g.count_ = count;
    g.records_.resize(count * stride_);
    g.bottom_.assign(parts.bottom, parts.bottom + count * 2 * params_.m);
    g.upper_.assign(parts.upper, parts.upper + parts.upper_size);
    g.levels_.assign(parts.levels, parts.levels + count);
    std::vector<double> unit(params_.dim);
    std::uint32_t at = 0;
    for (std::size_t id = 0; id < count; ++id) {
        std::uint8_t* rec = g.record(id);
        // The code and its two values are computed again when asked, or
        // when the file has none; a record's upper start always is, from
        // the levels just checked.
        if (verify || !parts.records) {
            g.encode_row(id, unit);
            if (parts.records && std::memcmp(rec, parts.records + id * stride_, code_bytes_ + 8) != 0) {
                return "node " + std::to_string(id) + ": its code is not its row's";
            }
        } else {
            std::memcpy(rec, parts.records + id * stride_, code_bytes_ + 8);
        }
        g.set_upper_at(id, at);
        at += g.levels_[id] * params_.m;
    }
    rows_ = std::move(g.rows_);
    records_ = std::move(g.records_);
    bottom_ = std::move(g.bottom_);
    upper_ = std::move(g.upper_);
    levels_ = std::move(g.levels_);
    count_ = count;
    entry_ = parts.entry;
    top_ = count ? levels_[entry_] : 0;
    return "";
}

std::size_t Graph::bytes() const {
    return rows_.bytes() + records_.capacity() + bottom_.capacity() * 4 + upper_.capacity() * 4 + levels_.capacity() +
           live_.capacity() * 8;
}

}  // namespace orbisk
