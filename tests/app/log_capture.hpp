#pragma once
// The shared capture of support/log_capture.hpp, by the name the application tests knew it.
#include "support/log_capture.hpp"

namespace corvid::testing {
using LogCapture = corvid::test::LogCapture;
}  // namespace corvid::testing
