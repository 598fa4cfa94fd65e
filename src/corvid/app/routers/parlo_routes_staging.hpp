#pragma once
// StagingFolder: one upload's private folder under the staging root ("corvid-upload-XXXXXX",
// mode 0700, unique per request) holding at most one file, created exclusively (0600, never
// through a symbolic link). The destructor removes whatever is left, so the folder is gone on
// every path out of a request: answer, error, disconnect, cancellation or shutdown; folders
// still alive when the process exits are removed at exit. The removal needs no descriptor (it
// unlinks the known file, then the folder), so it works when descriptors have run out; a
// folder that still cannot go is kept in a list and tried again by each later staging folder
// and at exit.
// Owner: one upload request, then (moved) its deferred removal. Threads: one at a time; the
// process-wide list of live folders is guarded by its own mutex.
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace corvid::app::routers::parlo {

inline constexpr std::string_view kStagingPrefix = "corvid-upload-";

// The system's temporary folder as the environment names it now (TMPDIR, TMP, TEMP, TEMPDIR,
// else /tmp), whether or not it exists yet: an upload creates it when it stages a file, so a
// folder that is missing at start (or removed later) costs no route but the upload's own.
std::filesystem::path system_temp_folder();

// Staging folders whose removal failed and waits for its next attempt (diagnostics, tests).
std::size_t staging_removals_pending();

class StagingFolder {
 public:
  // Creates the folder under root (root itself, with its parents, is created when missing; an
  // empty root is system_temp_folder(), resolved now). Throws
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
  // The same, for a caller that reports a failure: a removal that fails is tried once more,
  // and a second failure is left in ec (nothing logged; the destructor still tries).
  bool remove_file(std::error_code& ec);

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
