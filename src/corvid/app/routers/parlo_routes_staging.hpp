#pragma once
// StagingFolder: one upload's private folder under the staging root ("corvid-upload-XXXXXX",
// mode 0700, unique per request) holding at most one file, created exclusively (0600, never
// through a symbolic link). The destructor removes whatever is left, so the folder is gone on
// every path out of a request: answer, error, disconnect, cancellation or shutdown; folders
// still alive when the process exits are removed at exit.
// Owner: one upload request, then (moved) its deferred removal. Threads: one at a time; the
// process-wide list of live folders is guarded by its own mutex.
#include <filesystem>
#include <string>
#include <string_view>

namespace corvid::app::routers::parlo {

inline constexpr std::string_view kStagingPrefix = "corvid-upload-";

class StagingFolder {
 public:
  // Creates the folder under root (root itself is created when missing). Throws
  // std::filesystem::filesystem_error / std::system_error.
  explicit StagingFolder(const std::filesystem::path& root);
  ~StagingFolder();
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  const std::filesystem::path& folder() const { return folder_; }
  // The staged file's path ("" before open_file).
  const std::filesystem::path& file() const { return file_; }

  // Creates folder()/name; name must already be one safe file name. Throws std::system_error.
  void open_file(std::string_view name);
  // Appends to the open file. Throws std::system_error.
  void write(std::string_view data);
  // Closes the file (writes are complete). Throws std::system_error when closing reports an
  // error (a delayed write failure).
  void close_file();

  // Removes the staged file: true when one was there and is gone now. Never throws; a failure
  // is logged and left to the destructor.
  bool remove_file();

 private:
  void remove_all() noexcept;

  std::filesystem::path folder_;
  std::filesystem::path file_;
  int fd_ = -1;
};

// Removes every staging folder of this process that is still there: uploads in flight, and
// finished ones waiting out their grace period. The exit-time sweep does the same, but a
// forced exit (std::_Exit) skips it, so every way out of the process calls this first. Any
// thread, any number of times; never throws.
void sweep_staging_folders() noexcept;

}  // namespace corvid::app::routers::parlo
