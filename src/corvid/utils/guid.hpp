#pragma once
// Request identifiers: prefix + "_" + 32 lower-case hex digits from a per-thread generator.
#include <string>
#include <string_view>

namespace corvid {

std::string generate_guid(std::string_view prefix);

}  // namespace corvid
