#include "corvid/app/http/multipart.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>

namespace corvid::app::http {
namespace {

constexpr std::string_view kCrlf = "\r\n";
// Spaces or tabs allowed after a delimiter before its line end.
constexpr std::size_t kMaxTransportPadding = 256;

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

std::string_view trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// Parameters of a header value: `type; a=b; c="d;e"`. Returns (lower-cased name, value) pairs;
// a quoted value keeps everything but its quotes, and \" stands for a quote (other
// backslashes stay, since some clients send Windows paths unescaped).
std::vector<std::pair<std::string, std::string>> header_params(std::string_view value) {
  std::vector<std::pair<std::string, std::string>> out;
  std::size_t i = value.find(';');
  while (i != std::string_view::npos && i < value.size()) {
    ++i;  // past ';'
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
    const std::size_t name_start = i;
    while (i < value.size() && value[i] != '=' && value[i] != ';') ++i;
    std::string name = lower(trim(value.substr(name_start, i - name_start)));
    std::string param;
    if (i < value.size() && value[i] == '=') {
      ++i;
      while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
      if (i < value.size() && value[i] == '"') {
        ++i;
        while (i < value.size() && value[i] != '"') {
          if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == '"') ++i;
          param.push_back(value[i++]);
        }
        if (i < value.size()) ++i;  // closing quote
        while (i < value.size() && value[i] != ';') ++i;
      } else {
        const std::size_t start = i;
        while (i < value.size() && value[i] != ';') ++i;
        param = std::string(trim(value.substr(start, i - start)));
      }
    }
    if (!name.empty()) out.emplace_back(std::move(name), std::move(param));
    if (i >= value.size()) break;
    if (value[i] != ';') i = value.find(';', i);
  }
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An extended parameter value `UTF-8'lang'%E5%9B%BE.png`; nullopt unless UTF-8 and well formed.
std::optional<std::string> decode_extended(std::string_view value) {
  const std::size_t q1 = value.find('\'');
  if (q1 == std::string_view::npos) return std::nullopt;
  const std::size_t q2 = value.find('\'', q1 + 1);
  if (q2 == std::string_view::npos) return std::nullopt;
  if (!iequals(value.substr(0, q1), "utf-8")) return std::nullopt;
  std::string out;
  for (std::size_t i = q2 + 1; i < value.size(); ++i) {
    if (value[i] != '%') {
      out.push_back(value[i]);
      continue;
    }
    if (i + 2 >= value.size()) return std::nullopt;
    const int hi = hex_value(value[i + 1]);
    const int lo = hex_value(value[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one (overlongs, surrogates
// and values past U+10FFFF are invalid); `cp` receives the code point.
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::uint32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t len = 0;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return len;
}

// Code points that must not appear in a staged name: C0/C1 controls, DEL, and the bidi
// overrides and isolates that make "exe.png" display as something else.
bool unsafe_code_point(std::uint32_t cp) {
  return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069) || cp == 0x200E || cp == 0x200F || cp == 0xFEFF;
}

bool reserved_device_name(std::string_view name) {
  // Compared on the part before the first dot: "con.txt" is as reserved as "CON".
  const std::string stem = lower(name.substr(0, name.find('.')));
  static constexpr std::array<std::string_view, 4> kPlain = {"con", "prn", "aux", "nul"};
  if (std::find(kPlain.begin(), kPlain.end(), stem) != kPlain.end()) return true;
  return stem.size() == 4 && (stem.starts_with("com") || stem.starts_with("lpt")) &&
         stem[3] >= '1' && stem[3] <= '9';
}

// The longest prefix of `s` of at most `limit` bytes that ends on a character boundary.
std::string_view cut_utf8(std::string_view s, std::size_t limit) {
  if (s.size() <= limit) return s;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}

}  // namespace

std::optional<std::string> PartHeaders::get(std::string_view field_name) const {
  for (const auto& [k, v] : fields) {
    if (iequals(k, field_name)) return v;
  }
  return std::nullopt;
}

std::string multipart_boundary(std::string_view content_type) {
  const std::string_view media = trim(content_type.substr(0, content_type.find(';')));
  if (!iequals(media, "multipart/form-data")) {
    throw MultipartError(MultipartError::Kind::not_multipart,
                         "content type is not multipart/form-data");
  }
  for (auto& [name, value] : header_params(content_type)) {
    if (name != "boundary") continue;
    const bool printable = std::all_of(value.begin(), value.end(),
                                       [](unsigned char c) { return c >= 0x20 && c < 0x7F; });
    if (value.empty() || value.size() > kMaxBoundaryLength || !printable) {
      throw MultipartError(MultipartError::Kind::missing_boundary, "invalid multipart boundary");
    }
    return value;
  }
  throw MultipartError(MultipartError::Kind::missing_boundary, "missing multipart boundary");
}

MultipartParser::MultipartParser(std::string boundary, MultipartSink& sink)
    : delimiter_("\r\n--" + boundary), sink_(sink) {
  if (boundary.empty() || boundary.size() > kMaxBoundaryLength) {
    throw MultipartError(MultipartError::Kind::missing_boundary, "invalid multipart boundary");
  }
}

void MultipartParser::fail(MultipartError::Kind kind, const std::string& what) {
  state_ = State::failed;
  buffer_.clear();
  throw MultipartError(kind, what);
}

void MultipartParser::feed(std::string_view data) {
  if (state_ == State::failed) {
    throw MultipartError(MultipartError::Kind::malformed, "multipart parser already failed");
  }
  if (state_ == State::epilogue || data.empty()) return;
  // Work directly on the caller's piece when nothing is carried over; otherwise join them.
  std::string joined;
  std::string_view input = data;
  if (!buffer_.empty()) {
    buffer_.append(data);
    joined.swap(buffer_);
    input = joined;
  }
  try {
    const std::size_t used = process(input);
    if (state_ != State::epilogue) buffer_.assign(input.substr(used));
  } catch (...) {
    state_ = State::failed;
    buffer_.clear();
    throw;
  }
}

void MultipartParser::finish() {
  if (state_ == State::failed) {
    throw MultipartError(MultipartError::Kind::malformed, "multipart parser already failed");
  }
  if (state_ != State::epilogue) {
    fail(MultipartError::Kind::malformed, "multipart body ended before its closing delimiter");
  }
}

std::size_t MultipartParser::process(std::string_view input) {
  std::size_t pos = 0;
  while (pos < input.size() && state_ != State::epilogue) {
    const std::string_view rest = input.substr(pos);
    std::size_t used = 0;
    switch (state_) {
      case State::preamble:
        used = on_preamble(rest);
        break;
      case State::after_delimiter:
        used = on_after_delimiter(rest);
        break;
      case State::headers:
        used = on_headers(rest);
        break;
      case State::body:
        used = on_body(rest);
        break;
      case State::epilogue:
      case State::failed:
        return pos;
    }
    // No progress means the state needs more input than `rest` holds.
    if (used == 0) break;
    pos += used;
  }
  return pos;
}

std::size_t MultipartParser::on_preamble(std::string_view input) {
  // Only at the very start may the first delimiter come without the line end before it.
  if (at_start_) {
    const std::string_view first = std::string_view(delimiter_).substr(2);
    if (input.size() < first.size() && first.starts_with(input)) return 0;
    at_start_ = false;
    if (input.starts_with(first)) {
      state_ = State::after_delimiter;
      return first.size();
    }
  }
  const std::size_t at = input.find(delimiter_);
  if (at != std::string_view::npos) {
    state_ = State::after_delimiter;
    return at + delimiter_.size();
  }
  // The preamble is dropped, except a tail that could begin a delimiter.
  return input.size() - std::min(input.size(), delimiter_.size() - 1);
}

std::size_t MultipartParser::on_after_delimiter(std::string_view input) {
  if (input.size() < 2) return 0;
  if (input.starts_with("--")) {
    state_ = State::epilogue;
    return input.size();
  }
  std::size_t i = 0;
  while (i < input.size() && (input[i] == ' ' || input[i] == '\t')) {
    if (++i > kMaxTransportPadding)
      fail(MultipartError::Kind::malformed, "bad multipart delimiter line");
  }
  if (input.size() - i < 2) return 0;
  if (input.substr(i, 2) != kCrlf) {
    fail(MultipartError::Kind::malformed, "bad multipart delimiter line");
  }
  if (++parts_ > kMaxParts) fail(MultipartError::Kind::limit, "too many multipart parts");
  current_ = PartHeaders{};
  header_bytes_ = 0;
  state_ = State::headers;
  return i + 2;
}

std::size_t MultipartParser::on_headers(std::string_view input) {
  const std::size_t eol = input.find(kCrlf);
  if (eol == std::string_view::npos) {
    if (header_bytes_ + input.size() > kMaxPartHeaderBytes) {
      fail(MultipartError::Kind::limit, "multipart part headers too large");
    }
    return 0;
  }
  header_bytes_ += eol + 2;
  if (header_bytes_ > kMaxPartHeaderBytes) {
    fail(MultipartError::Kind::limit, "multipart part headers too large");
  }
  if (eol == 0) {
    state_ = State::body;
    sink_.on_part_begin(current_);
    return 2;
  }
  add_header_line(input.substr(0, eol));
  return eol + 2;
}

void MultipartParser::add_header_line(std::string_view line) {
  if (current_.fields.size() >= kMaxPartHeaders) {
    fail(MultipartError::Kind::limit, "too many multipart part headers");
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0 || line.front() == ' ' ||
      line.front() == '\t') {
    fail(MultipartError::Kind::malformed, "malformed multipart part header");
  }
  const std::string_view name = line.substr(0, colon);
  const bool token = std::all_of(name.begin(), name.end(),
                                 [](unsigned char c) { return c > 0x20 && c < 0x7F && c != ':'; });
  if (!token) fail(MultipartError::Kind::malformed, "malformed multipart part header");
  const std::string_view value = trim(line.substr(colon + 1));
  current_.fields.emplace_back(std::string(name), std::string(value));

  if (iequals(name, "content-type")) {
    current_.content_type = std::string(value);
  } else if (iequals(name, "content-disposition")) {
    std::optional<std::string> plain;
    std::optional<std::string> extended;
    for (auto& [key, param] : header_params(value)) {
      if (key == "name") {
        current_.name = std::move(param);
      } else if (key == "filename") {
        plain = std::move(param);
      } else if (key == "filename*") {
        extended = decode_extended(param);
      }
    }
    // The extended (UTF-8) form wins over the plain one when both are sent.
    if (extended) {
      current_.filename = std::move(extended);
    } else if (plain) {
      current_.filename = std::move(plain);
    }
  }
}

std::size_t MultipartParser::on_body(std::string_view input) {
  const std::size_t at = input.find(delimiter_);
  if (at != std::string_view::npos) {
    if (at > 0) sink_.on_part_data(input.substr(0, at));
    sink_.on_part_end();
    state_ = State::after_delimiter;
    return at + delimiter_.size();
  }
  // Everything except a tail that could begin a delimiter is content for sure.
  std::size_t safe = input.size() >= delimiter_.size() ? input.size() - (delimiter_.size() - 1) : 0;
  // Bytes before the tail's first CR cannot start a delimiter either.
  const std::size_t cr = input.find('\r', safe);
  safe = cr == std::string_view::npos ? input.size() : cr;
  if (safe == 0) return 0;
  sink_.on_part_data(input.substr(0, safe));
  return safe;
}

std::string sanitize_filename(std::string_view name) {
  constexpr std::string_view kFallback = "upload";
  if (const std::size_t sep = name.find_last_of("/\\"); sep != std::string_view::npos) {
    name.remove_prefix(sep + 1);
  }
  if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]))) {
    name.remove_prefix(2);
  }
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size();) {
    std::uint32_t cp = 0;
    const std::size_t len = utf8_sequence(name, i, cp);
    if (len == 0) {
      out.push_back('_');
      ++i;
      continue;
    }
    if (unsafe_code_point(cp)) {
      if (cp >= 0x20) out.push_back('_');  // controls vanish, invisible marks become visible
    } else if (len == 1 &&
               std::string_view("<>:\"|?*").find(static_cast<char>(cp)) != std::string_view::npos) {
      out.push_back('_');
    } else {
      out.append(name.substr(i, len));
    }
    i += len;
  }
  // Trailing dots and spaces are dropped by some file systems and confuse others.
  while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
  while (!out.empty() && out.front() == ' ') out.erase(out.begin());
  if (out.empty() || out.find_first_not_of('.') == std::string::npos) return std::string(kFallback);
  if (reserved_device_name(out)) out.insert(out.begin(), '_');

  if (out.size() > kMaxFileNameBytes) {
    const std::size_t dot = out.rfind('.');
    const bool keep_ext = dot != std::string::npos && dot > 0 && out.size() - dot <= 16;
    const std::string ext = keep_ext ? out.substr(dot) : std::string();
    const std::string_view stem(out.data(), keep_ext ? dot : out.size());
    out = std::string(cut_utf8(stem, kMaxFileNameBytes - ext.size())) + ext;
  }
  return out;
}

}  // namespace corvid::app::http
