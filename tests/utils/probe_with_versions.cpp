// A stand-in probe library for the supported-version lookup: it exports only the list.
#include <cstddef>

extern "C" __attribute__((visibility("default"))) const char* const* tw_support_versions(
    std::size_t* count) {
  static const char* const kVersions[] = {"1.0.0.1", "2.0.0.2"};
  *count = 2;
  return kVersions;
}
