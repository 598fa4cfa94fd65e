#include "corvid/utils/console.hpp"

#include <cstdio>
#include <mutex>
#include <string>

namespace corvid::console {
namespace {
std::mutex& console_mutex() {
  static auto* m = new std::mutex;  // immortal: used by threads that outlive main
  return *m;
}
}  // namespace

void line(std::string_view text) {
  std::string out(text);
  out.push_back('\n');
  std::lock_guard lock(console_mutex());
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

void error_block(std::string_view operation, std::string_view error_type,
                 std::string_view message) {
  std::string out;
  out.append("error in ")
      .append(operation)
      .append("\n  ")
      .append(error_type)
      .append(": ")
      .append(message)
      .append("\n");
  std::lock_guard lock(console_mutex());
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

}  // namespace corvid::console
