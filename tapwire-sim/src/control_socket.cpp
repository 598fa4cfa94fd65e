#include "control_socket.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

namespace corvid::sim {
namespace {

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool send_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

ControlSocket::~ControlSocket() { stop(); }

std::string ControlSocket::start(const std::string& path, Handler handler) {
  sockaddr_un addr{};
  if (path.size() >= sizeof(addr.sun_path)) return "the path is too long for a Unix socket";
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    // A socket left behind by an earlier run may be replaced; any other file is not ours.
    if (!S_ISSOCK(st.st_mode)) return "the path exists and is not a socket";
    ::unlink(path.c_str());
  }
  listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return errno_text("socket");
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(listen_fd_, 16) != 0) {
    std::string error = errno_text("bind");
    ::close(listen_fd_);
    listen_fd_ = -1;
    return error;
  }
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) {
    std::string error = errno_text("eventfd");
    ::close(listen_fd_);
    listen_fd_ = -1;
    ::unlink(path.c_str());
    return error;
  }
  path_ = path;
  handler_ = std::move(handler);
  thread_ = std::thread([this] { run(); });
  return {};
}

void ControlSocket::stop() {
  if (!thread_.joinable()) return;
  std::uint64_t one = 1;
  ssize_t ignored = ::write(wake_fd_, &one, sizeof(one));
  (void)ignored;
  thread_.join();
  ::close(wake_fd_);
  ::close(listen_fd_);
  wake_fd_ = listen_fd_ = -1;
  ::unlink(path_.c_str());
}

void ControlSocket::run() {
  thread_id_.store(std::this_thread::get_id());
  std::map<int, std::string> clients;  // fd -> bytes of the unfinished line
  for (;;) {
    std::vector<pollfd> fds{{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    for (const auto& [fd, buffer] : clients) fds.push_back({fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) break;
    if (fds[1].revents & POLLIN) {
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        timeval timeout{5, 0};  // a client that stops reading cannot stall the socket for long
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
        clients.emplace(fd, std::string());
      }
    }
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      int fd = fds[i].fd;
      std::string& buffer = clients[fd];
      char chunk[65536];
      ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
      bool drop = n <= 0 && !(n < 0 && errno == EINTR);
      if (n > 0) {
        buffer.append(chunk, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t nl; !drop && (nl = buffer.find('\n', start)) != std::string::npos;
             start = nl + 1) {
          std::string_view line(buffer.data() + start, nl - start);
          if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
          if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
          drop = !send_all(fd, handler_(line) + "\n");
        }
        buffer.erase(0, start);
        if (buffer.size() > kMaxLineBytes) {
          send_all(fd, "{\"ok\": false, \"error\": \"command line too long\"}\n");
          drop = true;
        }
      }
      if (drop) {
        ::close(fd);
        clients.erase(fd);
      }
    }
  }
  for (const auto& [fd, buffer] : clients) ::close(fd);
}

}  // namespace corvid::sim
