#pragma once
// A private folder for one test, made with a name no other process can hold at the same time
// (mkdtemp under the system's temporary folder) and removed with everything in it afterwards.
// Owner: the test that made it; not shared across threads while it is removed.
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace corvid::test {

class TempDir {
 public:
  explicit TempDir(std::string_view name = "test") {
    std::string pattern =
        (std::filesystem::temp_directory_path() / ("corvid-" + std::string(name) + "-XXXXXX"))
            .string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace corvid::test
