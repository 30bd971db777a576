// The kernel tables in use: every one the CPU runs, up to the build's cap.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "common/cpu.h"
#include "kernel_cap.h"

using namespace orbisk;

namespace {

const Isa last_isa = all_isas[std::size(all_isas) - 1];

// The build was told to stop at the table it names (the last one when it
// was told none); a CPU without that table stops at its own last below it.
TEST(KernelCap, TablesInUseEndAtTheConfiguredCap) {
    EXPECT_EQ(isa_name(kernel_cap()), std::string(ORBISK_KERNEL_CAP_NAME));
    const std::vector<Isa> cpu = isas_up_to(last_isa);
    const std::vector<Isa> in_use(supported_isas().begin(), supported_isas().end());
    EXPECT_EQ(in_use, isas_up_to(kernel_cap()));
    Isa last = Isa::Scalar;
    for (Isa isa : cpu) last = isa <= kernel_cap() ? isa : last;
    EXPECT_EQ(isa_name(best_isa()), std::string(isa_name(last)));
}

// Each cap keeps the CPU's tables up to it: a prefix of them, ending at the
// cap when the CPU runs it.
TEST(KernelCap, EachCapKeepsTheTablesUpToIt) {
    const std::vector<Isa> cpu = isas_up_to(last_isa);
    for (Isa cap : all_isas) {
        SCOPED_TRACE(isa_name(cap));
        const std::vector<Isa> kept = isas_up_to(cap);
        ASSERT_FALSE(kept.empty());
        ASSERT_LE(kept.size(), cpu.size());
        EXPECT_TRUE(std::equal(kept.begin(), kept.end(), cpu.begin(), cpu.begin() + kept.size()));
        EXPECT_LE(kept.back(), cap);
        if (std::ranges::find(cpu, cap) != cpu.end()) {
            EXPECT_EQ(kept.back(), cap);
        }
        if (kept.size() < cpu.size()) {
            EXPECT_GT(cpu[kept.size()], cap);
        }
    }
}

}  // namespace
