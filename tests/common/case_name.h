// Parameterised tests over a table of cases whose `name` field says what the
// case is: the test is named after it.
//
//   INSTANTIATE_TEST_SUITE_P(Table, Suite, testing::ValuesIn(kCases), CaseName());
#pragma once

#include <gtest/gtest.h>

#include <string>

struct CaseName {
    template <typename Case>
    std::string operator()(const testing::TestParamInfo<Case>& info) const
    {
        return std::string(info.param.name);
    }
};
