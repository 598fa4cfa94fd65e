#include "corvid/utils/guid.hpp"

#include <cstdio>
#include <random>

namespace corvid {

std::string generate_guid(std::string_view prefix) {
  thread_local std::mt19937_64 rng{std::random_device{}()};
  char hex[33];
  std::snprintf(hex, sizeof hex, "%016llx%016llx", static_cast<unsigned long long>(rng()),
                static_cast<unsigned long long>(rng()));
  std::string out(prefix);
  out.push_back('_');
  out.append(hex, 32);
  return out;
}

}  // namespace corvid
