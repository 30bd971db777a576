// The neighbour-list store on its own: ids across 16-bit boundaries, codes
// and layer marks kept with their entries, and undoing an insertion.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "hnsw/links.h"

using namespace orbisk;

namespace {

struct Entry {
    std::uint32_t id;
    std::uint8_t code;
    std::uint32_t level;
};

// Everything a walk reads of a list, entry by entry.
std::vector<Entry> read(const Links& links, std::uint32_t node) {
    std::vector<Entry> out;
    links.for_each_run(node, [&](const Links::Run& run) {
        if (run.size < Links::chunk) {  // no marks past the entries
            EXPECT_EQ(run.reach[0] >> run.size, 0u) << "layer 1, list " << node;
            EXPECT_EQ(run.reach[1] >> run.size, 0u) << "layer 2, list " << node;
        }
        for (std::size_t j = 0; j < run.size; ++j) {
            const std::uint32_t level = (run.reach[1] >> j) & 1 ? 2 : (run.reach[0] >> j) & 1 ? 1 : 0;
            out.push_back({run.id(j), run.codes[j], level});
        }
    });
    return out;
}

void expect_same(const std::vector<Entry>& got, const std::vector<Entry>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].id, want[i].id) << "entry " << i;
        EXPECT_EQ(got[i].code, want[i].code) << "entry " << i;
        EXPECT_EQ(got[i].level, std::min(want[i].level, 2u)) << "entry " << i;
    }
}

TEST(Links, KeepsEveryEntryAcrossSixteenBitBoundaries) {
    constexpr std::uint32_t nodes = 200000;
    Links links;
    for (std::uint32_t n = 0; n < 4; ++n) links.add_node();
    std::mt19937_64 rng(3);
    std::vector<std::vector<Entry>> want(4);
    // List 0: ids in one 64 Ki window, then a stray one, then mixed; list 1:
    // ids all over; list 2: exactly one chunk; list 3: ids near the top.
    auto add = [&](std::uint32_t node, std::uint32_t id) {
        const Entry e{id, static_cast<std::uint8_t>(rng() % 256), static_cast<std::uint32_t>(rng() % 4)};
        links.append(node, e.id, e.code, e.level);
        want[node].push_back(e);
    };
    for (std::uint32_t i = 0; i < 40; ++i) add(0, 65536 + i * 7);
    add(0, 3);
    for (std::uint32_t i = 0; i < 100; ++i) add(0, static_cast<std::uint32_t>(rng() % nodes));
    for (std::uint32_t i = 0; i < 333; ++i) add(1, static_cast<std::uint32_t>(rng() % nodes));
    for (std::uint32_t i = 0; i < 32; ++i) add(2, i * 65536 + i);
    for (std::uint32_t i = 0; i < 50; ++i) add(3, 0xFFFFFFFEu - i);
    for (std::uint32_t n = 0; n < 4; ++n) {
        expect_same(read(links, n), want[n]);
        EXPECT_EQ(links.size(n), want[n].size());
        EXPECT_TRUE(links.ends_with(n, want[n].back().id));
        EXPECT_FALSE(links.ends_with(n, want[n].back().id ^ 0x10000u));
    }
}

TEST(Links, TruncateUndoesTheLastInsertion) {
    Links links;
    for (std::uint32_t n = 0; n < 3; ++n) links.add_node();
    // Node 2's insertion linked it to 0 and 1; its id ends both lists, the
    // second time after the 32nd entry (a chunk of its own) and across a
    // 16-bit boundary from the ids before it.
    for (std::uint32_t i = 0; i < 32; ++i) links.append(0, 70000 + i, 1, 0);
    links.append(0, 2, 7, 2);
    links.append(1, 5, 1, 1);
    links.append(1, 2, 7, 2);
    links.append(2, 0, 3, 1);
    links.truncate(2, 2);
    EXPECT_EQ(links.nodes(), 2u);
    EXPECT_EQ(links.size(0), 32u);
    EXPECT_EQ(links.size(1), 1u);
    EXPECT_TRUE(links.ends_with(0, 70031));
    // Every list it shortened reads as if node 2 had never been linked: no
    // layer mark is left past the end, where walks above layer 2 would
    // find the undone node.
    std::vector<Entry> kept;
    for (std::uint32_t i = 0; i < 32; ++i) kept.push_back({70000 + i, 1, 0});
    expect_same(read(links, 0), kept);
    expect_same(read(links, 1), {{5, 1, 1}});
    // The store goes on as if node 2 had never come.
    links.add_node();
    links.append(0, 9, 4, 1);
    const auto entries = read(links, 0);
    ASSERT_EQ(entries.size(), 33u);
    expect_same({entries.back()}, {{9, 4, 1}});
    EXPECT_TRUE(links.list(2).empty());
}

// What a walk of each layer may take from a run: on the layers the runs
// mark, the entries of that level exactly; above them, every entry of that
// level among the ones offered. Lists of one partial chunk, one full chunk
// and several, with levels up to 5 in every mix.
class LinksOnLayer : public testing::TestWithParam<std::uint32_t> {};

TEST_P(LinksOnLayer, OffersTheEntriesOfTheLayer) {
    const std::uint32_t layer = GetParam();
    Links links;
    std::mt19937_64 rng(layer + 11);
    std::vector<std::vector<std::uint32_t>> levels(3);
    const std::size_t lengths[] = {7, Links::chunk, 3 * Links::chunk + 5};
    for (std::uint32_t n = 0; n < 3; ++n) {
        links.add_node();
        for (std::size_t i = 0; i < lengths[n]; ++i) {
            levels[n].push_back(static_cast<std::uint32_t>(rng() % 6));
            links.append(n, static_cast<std::uint32_t>(i * 977 % 100003), 0, levels[n].back());
        }
    }
    for (std::uint32_t n = 0; n < 3; ++n) {
        std::size_t at = 0;
        links.for_each_run(n, [&](const Links::Run& run) {
            const std::uint32_t bits = run.on_layer(layer);
            for (std::size_t j = 0; j < run.size; ++j) {
                const std::uint32_t level = levels[n][at + j];
                const bool offered = (bits >> j) & 1;
                if (Links::marks_layer(layer)) {
                    EXPECT_EQ(offered, level >= layer) << "list " << n << " entry " << at + j;
                } else if (level >= layer) {
                    EXPECT_TRUE(offered) << "list " << n << " entry " << at + j;
                }
            }
            if (layer > 0 && run.size < Links::chunk) {
                EXPECT_EQ(bits >> run.size, 0u) << "list " << n;
            }
            at += run.size;
        });
        EXPECT_EQ(at, levels[n].size());
    }
}

INSTANTIATE_TEST_SUITE_P(Layers, LinksOnLayer, testing::Values(0u, 1u, 2u, 3u, 5u, 6u));

}  // namespace
