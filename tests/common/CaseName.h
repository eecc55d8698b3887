// Names of parameterised test cases, built from what the case is about, so that a case keeps its
// name from run to run (no addresses, no raw bytes of the parameter).
//
//   INSTANTIATE_TEST_SUITE_P(Group, Suite, ::testing::Values(...), lumora::test::CaseName{});
//
// CaseName takes a case's `name` member when it has one, else the parameter itself when it is a
// number or a text; for other parameters give a lambda that calls caseName(...) with the fields
// that tell the cases apart.
#pragma once

#include <gtest/gtest.h>

#include <concepts>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

namespace lumora::test {

// Letters and digits are kept, every other character becomes '_'; an empty text is "empty".
inline std::string nameOf(std::string_view text)
{
    if (text.empty())
        return "empty";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        out.push_back(keep ? c : '_');
    }
    return out;
}

namespace detail {

template <class T>
std::string part(const T& value)
{
    if constexpr (std::is_same_v<T, bool>) {
        return value ? "true" : "false";
    } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
        if constexpr (std::is_unsigned_v<T>) {
            return std::to_string(static_cast<unsigned long long>(value));
        } else {
            const auto number = static_cast<long long>(value);
            const auto magnitude = static_cast<unsigned long long>(number);
            return number < 0 ? "minus" + std::to_string(0ull - magnitude) : std::to_string(magnitude);
        }
    } else if constexpr (std::is_convertible_v<T, const char*>) {
        const char* text = value;
        return text == nullptr ? std::string("null") : nameOf(text);
    } else {
        static_assert(std::is_convertible_v<T, std::string_view>, "caseName takes numbers and texts");
        return nameOf(std::string_view(value));
    }
}

} // namespace detail

// The parts joined with '_': numbers in decimal (negative ones as "minus<n>"), texts through
// nameOf, a null text as "null".
template <class First, class... Rest>
std::string caseName(const First& first, const Rest&... rest)
{
    std::string out = detail::part(first);
    ((out += "_", out += detail::part(rest)), ...);
    return out;
}

struct CaseName {
    // Put before a number or text parameter: CaseName{"attempts"} names the case 3 "attempts3".
    const char* prefix = "";

    template <class Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& info) const
    {
        if constexpr (requires { info.param.name; })
            return std::string(prefix) + nameOf(info.param.name);
        else
            return std::string(prefix) + caseName(info.param);
    }
};

} // namespace lumora::test
