// Attribute look-up in the schema, the equality predicate, and the metadata
// store that filters read.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "filter/filter.h"
#include "metadata/metadata.h"

using namespace orbisk;

namespace {

using namespace std::string_literals;
const double nan = std::numeric_limits<double>::quiet_NaN();

TEST(AttributePosition, ChecksInOrder) {
    struct Row {
        Schema schema;
        std::string attribute;
        std::variant<std::size_t, LookupError> want;
    };
    const std::vector<std::string> names{"color", "size", "color", "", "a\0b"s};
    const Row table[] = {
        {std::nullopt, "color", LookupError::NoSchema},
        {std::nullopt, "", LookupError::NoSchema},
        {std::vector<std::string>{}, "color", LookupError::EmptySchema},
        {std::vector<std::string>{}, "", LookupError::EmptySchema},
        {names, "color", std::size_t{0}},  // the first of two
        {names, "size", std::size_t{1}},
        {names, "", std::size_t{3}},
        {names, "a\0b"s, std::size_t{4}},
        {names, "a", LookupError::NotFound},
        {names, "Color", LookupError::NotFound},
        {names, "color ", LookupError::NotFound},
        {names, "colo", LookupError::NotFound},
        {names, "a\0c"s, LookupError::NotFound},
    };
    for (const Row& r : table) {
        EXPECT_EQ(attribute_position(r.schema, r.attribute), r.want) << "'" << r.attribute << "'";
    }
}

TEST(MakeFilter, EqualityOfMetadata) {
    struct Row {
        Metadata wanted, stored;
        bool admits;
    };
    const Row table[] = {
        {std::int64_t{1}, std::int64_t{1}, true},
        {std::int64_t{1}, 1.0, false},
        {std::int64_t{1}, "1"s, false},
        {1.0, std::int64_t{1}, false},
        {"1"s, std::int64_t{1}, false},
        {"1"s, 1.0, false},
        {std::int64_t{-1}, std::int64_t{std::numeric_limits<std::int64_t>::max()}, false},
        {std::int64_t{std::numeric_limits<std::int64_t>::min()}, std::int64_t{std::numeric_limits<std::int64_t>::min()},
         true},
        {3.0, 3.0, true},
        {-0.0, 0.0, true},
        {0.0, -0.0, true},
        {nan, nan, false},
        {nan, 1.0, false},
        {1.0, nan, false},
        {0x1p70, 0x1p70, true},
        {1.0, 1.0 + 0x1p-52, false},
        {"red"s, "red"s, true},
        {"red"s, "Red"s, false},
        {"red"s, "red "s, false},
        {"red"s, "re"s, false},
        {"red"s, "red\0"s, false},
        {"a\0b"s, "a\0b"s, true},
        {"a\0b"s, "a\0c"s, false},
        {""s, ""s, true},
        {""s, std::int64_t{0}, false},
        {"\xc3\xa9"s, "e\xcc\x81"s, false},  // no normalisation
    };
    for (std::size_t i = 0; i < std::size(table); ++i) {
        const Filter f = make_filter("a", table[i].wanted);
        EXPECT_EQ((*f.predicate)(table[i].stored), table[i].admits) << "row " << i;
    }
}

TEST(MetadataStore, NodesWithoutARecordOwnNoValues) {
    MetadataStore store;
    const MetadataRecord red{"red"s, std::int64_t{1}};
    const MetadataRecord blue{"blue"s, std::int64_t{2}};
    store.append(&red);
    store.append(nullptr);
    store.append(&blue);
    store.append(nullptr);
    EXPECT_EQ(store.nodes(), 4u);
    EXPECT_EQ(store.values().size(), 4u);
    ASSERT_NE(store.value(0, 1), nullptr);
    EXPECT_EQ(*store.value(0, 1), Metadata(std::int64_t{1}));
    EXPECT_EQ(store.value(1, 0), nullptr);
    EXPECT_EQ(store.value(1, 1), nullptr);
    ASSERT_NE(store.value(2, 0), nullptr);
    EXPECT_EQ(*store.value(2, 0), Metadata("blue"s));  // not shifted onto node 1
    EXPECT_EQ(store.value(2, 2), nullptr);              // past the record
    EXPECT_EQ(store.value(3, 0), nullptr);
    EXPECT_EQ(store.value(4, 0), nullptr);              // past the last node

    const Filter is_blue = make_filter("color", "blue"s);
    const Filter is_red = make_filter("color", "red"s);
    EXPECT_FALSE(filter_matches(store, is_blue, 0, 0));
    EXPECT_TRUE(filter_matches(store, is_red, 0, 0));
    EXPECT_FALSE(filter_matches(store, is_blue, 0, 1));
    EXPECT_FALSE(filter_matches(store, is_red, 0, 1));
    EXPECT_TRUE(filter_matches(store, is_blue, 0, 2));
    EXPECT_FALSE(filter_matches(store, is_blue, 0, 3));
    EXPECT_FALSE(filter_matches(store, is_blue, 0, 9));
}

}  // namespace
