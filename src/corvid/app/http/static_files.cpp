#include "corvid/app/http/static_files.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <system_error>
#include <utility>

namespace corvid::app::http {

namespace bhttp = boost::beast::http;
namespace fs = std::filesystem;

namespace {

Response not_found() { return detail_response(bhttp::status::not_found, "Not Found"); }

// Every segment must be an ordinary name: no traversal, no empty or dot segments, no
// characters that another layer might read as a separator or terminator.
bool safe_relative(std::string_view relative) {
  if (relative.empty()) return false;
  if (relative.find('\0') != std::string_view::npos) return false;
  if (relative.find('\\') != std::string_view::npos) return false;
  std::string_view rest = relative;
  while (true) {
    const auto slash = rest.find('/');
    const std::string_view segment = rest.substr(0, slash);
    if (segment.empty() || segment == "." || segment == "..") return false;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return true;
}

bool inside(const fs::path& root, const fs::path& candidate) {
  auto r = root.begin();
  auto c = candidate.begin();
  for (; r != root.end(); ++r, ++c) {
    if (c == candidate.end() || *r != *c) return false;
  }
  return c != candidate.end();
}

}  // namespace

std::string_view content_type_for(const fs::path& file) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 22> kTypes{{
      {".html", "text/html; charset=utf-8"},
      {".htm", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".json", "application/json"},
      {".map", "application/json"},
      {".txt", "text/plain; charset=utf-8"},
      {".md", "text/markdown; charset=utf-8"},
      {".xml", "application/xml"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},
      {".webp", "image/webp"},
      {".ico", "image/x-icon"},
      {".woff", "font/woff"},
      {".woff2", "font/woff2"},
      {".pdf", "application/pdf"},
      {".mp4", "video/mp4"},
      {".wasm", "application/wasm"},
  }};
  std::string ext = file.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const auto& [suffix, type] : kTypes) {
    if (suffix == ext) return type;
  }
  return "application/octet-stream";
}

Response serve_static(const fs::path& root, std::string_view relative, bhttp::verb method) {
  if (method != bhttp::verb::get && method != bhttp::verb::head) {
    return detail_response(bhttp::status::method_not_allowed, "Method Not Allowed",
                           {{"Allow", "GET, HEAD"}});
  }
  if (!safe_relative(relative)) return not_found();
  std::error_code ec;
  const fs::path base = fs::canonical(root, ec);
  if (ec) return not_found();
  // canonical() resolves every symlink, so a link leading out of the folder is caught below.
  const fs::path file = fs::canonical(base / fs::path(std::string(relative)), ec);
  if (ec || !inside(base, file)) return not_found();
  const auto status = fs::status(file, ec);
  if (ec || !fs::is_regular_file(status)) return not_found();
  Response out;
  out.content_type = std::string(content_type_for(file));
  out.file = file;
  return out;
}

}  // namespace corvid::app::http
