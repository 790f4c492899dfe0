// Names parameterised test cases after their table row's `name` member.
#pragma once

#include <gtest/gtest.h>

#include <string>

struct RowName {
    template <class Row> std::string operator()(const ::testing::TestParamInfo<Row>& row) const
    {
        return std::string(row.param.name);
    }
};
