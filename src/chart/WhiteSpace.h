// The white space of the matching rules: that of formatted input scanning.
#pragma once

#include <string_view>

namespace chartseal {

inline constexpr std::string_view kWhiteSpace(" \t\n\v\f\r", 6);

// Space, and tab, line feed, vertical tab, form feed and carriage return,
// which stand together from 9 to 13.
inline bool isWhiteSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace chartseal
