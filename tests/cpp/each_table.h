#pragma once
// Index tests run once per kernel table this CPU supports, the portable one
// always among them. The table is the test's parameter, handed to the index
// when it is made, and its name ends the test's name (".../scalar",
// ".../avx2_..."): nothing the cores read from outside picks it.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "common/cpu.h"

namespace orbisk {

inline std::vector<Isa> every_table() { return {supported_isas().begin(), supported_isas().end()}; }

/// A fixture whose parameter is the table alone.
class OnEachTable : public ::testing::TestWithParam<Isa> {
  protected:
    static Isa isa() { return GetParam(); }
};

inline void PrintTo(Isa isa, std::ostream* os) { *os << isa_name(isa); }

inline std::string table_name(const ::testing::TestParamInfo<Isa>& info) { return isa_name(info.param); }

/// Every case on every table, the tables of one case next to each other.
template <class Case>
auto on_each_table(const std::vector<Case>& cases) {
    return ::testing::Combine(::testing::ValuesIn(cases), ::testing::ValuesIn(every_table()));
}

/// The name of a case on a table: `name(case)`, then the table's name.
template <class Case, class Name>
auto case_on_table_name(Name name) {
    return [name](const ::testing::TestParamInfo<std::tuple<Case, Isa>>& info) {
        return name(std::get<0>(info.param)) + "_" + isa_name(std::get<1>(info.param));
    };
}

}  // namespace orbisk

/// Runs the TEST_Ps of `suite` (an OnEachTable) once per table.
#define INSTANTIATE_ON_EACH_TABLE(suite) \
    INSTANTIATE_TEST_SUITE_P(Tables, suite, ::testing::ValuesIn(::orbisk::every_table()), ::orbisk::table_name)
