#pragma once

// Test names for table cases: "dot-dot kept when allowed" -> "DotDotKeptWhenAllowed".

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace EngineTest {

inline std::string caseName(const std::string& what) {
    std::string out;
    bool upper = true;
    for (char ch : what) {
        if (std::isalnum(static_cast<unsigned char>(ch))) {
            out += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(ch))) : ch;
            upper = false;
        } else {
            upper = true;
        }
    }
    return out;
}

// For INSTANTIATE_TEST_SUITE_P: names each case after its `what` field.
struct NameByWhat {
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return caseName(info.param.what);
    }
};

} // namespace EngineTest
