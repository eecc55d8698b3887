#pragma once
// Names parameterised client tests after the case's own stable `name` field.
#include <gtest/gtest.h>
#include <string>

struct CaseName {
    template <class T>
    std::string operator()(const ::testing::TestParamInfo<T>& param) const
    {
        return param.param.name;
    }
};
