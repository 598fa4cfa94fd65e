#pragma once
// Lines for the operator's console. Several service operations report on standard output
// rather than the log; their lines are written whole, flushed at once and serialised by one
// lock, so lines from concurrent operations never interleave. Error reports go to standard
// error as a short block: operation, exception type, message.
#include <string_view>

namespace corvid::console {

void line(std::string_view text);
void error_block(std::string_view operation, std::string_view error_type, std::string_view message);

// The rendering of an absent value inside a console or log line.
inline constexpr std::string_view kNone = "None";

}  // namespace corvid::console
