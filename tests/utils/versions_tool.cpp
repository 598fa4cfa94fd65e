// Prints the supported-version list of a fresh process (the list is read once per process, so
// a test that names the probe through the environment needs a process that has never asked),
// followed by " <version>=yes|no" for each argument.
#include <cstdio>
#include <string>

#include "corvid/utils/xdg.hpp"

int main(int argc, char** argv) {
  std::string out = corvid::xdg::support_versions_text();
  for (int i = 1; i < argc; ++i) {
    const bool member = corvid::xdg::is_support_version(std::string(argv[i]));
    out += std::string(" ") + argv[i] + (member ? "=yes" : "=no");
  }
  std::puts(out.c_str());
  return 0;
}
