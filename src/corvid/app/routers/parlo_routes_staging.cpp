#include "corvid/app/routers/parlo_routes_staging.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <system_error>
#include <vector>

#include "corvid/app/routers/parlo_routes.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::app::routers::parlo {
namespace {

namespace fs = std::filesystem;

// Removes a staging folder without opening it: the staged file (when there is one) and then
// the folder itself, so that no descriptor is needed when they have all been taken. Only a
// folder that holds something else falls back to the walk, which opens it.
void remove_folder(const fs::path& folder, const fs::path& file, std::error_code& ec) {
  ec.clear();
  // A file that will not unlink (something else stands at its path) is left to the walk.
  if (!file.empty()) ::unlink(file.c_str());
  if (::rmdir(folder.c_str()) == 0 || errno == ENOENT) return;
  if (errno != ENOTEMPTY && errno != EEXIST) {
    ec.assign(errno, std::generic_category());
    return;
  }
  fs::remove_all(folder, ec);
}

// Folders not yet removed, so that an exit while uploads are in flight (or waiting out their
// grace period on a loop that no longer runs) leaves nothing behind, and folders whose removal
// failed (descriptors run out for the walk of an unexpected entry, say), tried again later.
class LiveFolders {
 public:
  static LiveFolders& get() {
    // Never destroyed: removals may still run from other threads during exit.
    static LiveFolders* live = [] {
      auto* l = new LiveFolders();
      std::atexit([] { get().remove_remaining(); });
      return l;
    }();
    return *live;
  }
  void add(const fs::path& p) {
    std::lock_guard lock(mutex_);
    folders_.insert(p);
  }
  void erase(const fs::path& p) {
    std::lock_guard lock(mutex_);
    folders_.erase(p);
    failed_.erase(p);
  }
  void failed(const fs::path& p) {
    std::lock_guard lock(mutex_);
    if (folders_.count(p)) failed_.insert(p);
  }
  // Tries the failed removals again; a success is logged once.
  void retry_failed() {
    std::set<fs::path> again;
    {
      std::lock_guard lock(mutex_);
      if (failed_.empty()) return;
      again.swap(failed_);
    }
    for (const auto& p : again) {
      std::error_code ec;
      remove_folder(p, {}, ec);
      if (ec) {
        failed(p);
      } else {
        erase(p);
        log::get(kParloRouterLog)->info("staging folder {} removed on a later attempt", p.string());
      }
    }
  }
  std::size_t failed_count() {
    std::lock_guard lock(mutex_);
    return failed_.size();
  }

 private:
  friend void ::corvid::app::routers::parlo::sweep_staging_folders() noexcept;
  void remove_remaining() {
    std::set<fs::path> left;
    {
      std::lock_guard lock(mutex_);
      left.swap(folders_);
      failed_.clear();
    }
    for (const auto& p : left) {
      std::error_code ec;
      fs::remove_all(p, ec);
    }
  }
  std::mutex mutex_;  // guards folders_ and failed_
  std::set<fs::path> folders_;
  std::set<fs::path> failed_;  // a subset of folders_
};

std::system_error errno_error(const std::string& what) {
  return std::system_error(errno, std::generic_category(), what);
}

}  // namespace

fs::path system_temp_folder() {
  for (const char* name : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"}) {
    if (const char* value = std::getenv(name); value && *value) return fs::path(value);
  }
  return fs::path("/tmp");
}

std::size_t staging_removals_pending() { return LiveFolders::get().failed_count(); }

StagingFolder::StagingFolder(const fs::path& given_root) {
  LiveFolders::get().retry_failed();
  const fs::path root = given_root.empty() ? system_temp_folder() : given_root;
  fs::create_directories(root);
  std::string pattern = (root / (std::string(kStagingPrefix) + "XXXXXX")).string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) throw errno_error("cannot create the staging folder");
  folder_ = fs::path(buf.data());
  LiveFolders::get().add(folder_);
}

StagingFolder::~StagingFolder() { remove_all(); }

void StagingFolder::open_file(std::string_view name) {
  const fs::path path = folder_ / fs::path(std::string(name));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw errno_error("cannot create the staging file");
  fd_ = fd;
  file_ = path;
}

void StagingFolder::write(std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd_, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw errno_error("cannot write the staging file");
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

void StagingFolder::close_file() {
  if (fd_ < 0) return;
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throw errno_error("cannot write the staging file");
}

bool StagingFolder::remove_file() {
  std::error_code ec;
  const bool removed = remove_file(ec);
  if (ec) {
    log::get(kParloRouterLog)
        ->error("removing the staged upload {} failed: {}", file_.string(), ec.message());
    return false;
  }
  return removed;
}

bool StagingFolder::remove_file(std::error_code& ec) {
  ec.clear();
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (file_.empty()) return false;
  bool removed = fs::remove(file_, ec);
  if (ec) removed = fs::remove(file_, ec);  // once more, as a passing failure may allow
  return !ec && removed;
}

void StagingFolder::remove_all() noexcept {
  if (folder_.empty()) return;
  try {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
    LiveFolders::get().retry_failed();
    std::error_code ec;
    remove_folder(folder_, file_, ec);
    if (ec) {
      log::get(kParloRouterLog)
          ->error("removing the staging folder {} failed: {}; tried again later", folder_.string(),
                  ec.message());
      LiveFolders::get().failed(folder_);
    } else {
      LiveFolders::get().erase(folder_);
    }
  } catch (...) {
    // A destructor on every exit path: nothing may escape, later folders and exit retry.
  }
}

void sweep_staging_folders() noexcept {
  try {
    LiveFolders::get().remove_remaining();
  } catch (...) {
    // On the way out of the process: nothing may escape; what is left stays.
  }
}

}  // namespace corvid::app::routers::parlo
