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

// Folders not yet removed, so that an exit while uploads are in flight (or waiting out their
// grace period on a loop that no longer runs) leaves nothing behind.
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
  }

 private:
  friend void ::corvid::app::routers::parlo::sweep_staging_folders() noexcept;
  void remove_remaining() {
    std::set<fs::path> left;
    {
      std::lock_guard lock(mutex_);
      left.swap(folders_);
    }
    for (const auto& p : left) {
      std::error_code ec;
      fs::remove_all(p, ec);
    }
  }
  std::mutex mutex_;  // guards folders_
  std::set<fs::path> folders_;
};

std::system_error errno_error(const std::string& what) {
  return std::system_error(errno, std::generic_category(), what);
}

}  // namespace

StagingFolder::StagingFolder(const fs::path& root) {
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
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (file_.empty()) return false;
  std::error_code ec;
  const bool removed = fs::remove(file_, ec);
  if (ec) {
    log::get(kParloRouterLog)->error("removing the staged upload {} failed: {}", file_.string(),
                                     ec.message());
    return false;
  }
  return removed;
}

void StagingFolder::remove_all() noexcept {
  if (folder_.empty()) return;
  try {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
    std::error_code ec;
    fs::remove_all(folder_, ec);
    if (ec) {
      log::get(kParloRouterLog)->error("removing the staging folder {} failed: {}",
                                       folder_.string(), ec.message());
    } else {
      LiveFolders::get().erase(folder_);
    }
  } catch (...) {
    // A destructor on every exit path: nothing may escape, the exit-time sweep retries.
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
