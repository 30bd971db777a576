#pragma once
// Per-vector attribute values and the store that keeps them by node.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace orbisk {

/// One attribute value: String, Integer or Float, in that order. The
/// variant's own equality is the one filters use: same alternative required,
/// bytes for text, IEEE equality for doubles (NaN matches nothing).
using Metadata = std::variant<std::string, std::int64_t, double>;

/// One value per schema name, in schema order.
using MetadataRecord = std::vector<Metadata>;

/// Attribute names fixed at construction. Absent and empty are distinct.
using Schema = std::optional<std::vector<std::string>>;

/// The records of all nodes, back to back, with each node's start kept so
/// that a node inserted without a record owns none and never borrows another
/// node's values.
class MetadataStore {
  public:
    /// Registers the next node: its record's values, or none.
    void append(const MetadataRecord* record);

    /// Value `position` of node `node`'s record, or nullptr when the node has
    /// no record or the record is shorter.
    const Metadata* value(std::uint32_t node, std::size_t position) const;

    /// Forgets every node from `nodes` on (undoes appends).
    void truncate(std::size_t nodes);

    std::size_t nodes() const { return starts_.size(); }
    const std::vector<Metadata>& values() const { return values_; }

  private:
    struct Range {
        std::size_t start;
        std::size_t size;
        bool present;
    };
    std::vector<Metadata> values_;
    std::vector<Range> starts_;  // per node: where its record lies, if it has one
};

}  // namespace orbisk
