#include "corvid/app/http/url.hpp"

#include <cstdint>

#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

namespace corvid::app::http {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence starting at text[i], or 0 when it is not one.
std::size_t valid_sequence(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  const std::uint8_t b0 = byte(i);
  if (b0 < 0x80) return 1;
  std::size_t len = 0;
  std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < len; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return len;
}

// Length of the broken prefix at text[i] (valid_sequence gave 0 there): at least one byte.
std::size_t broken_prefix(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  const std::uint8_t b0 = byte(i);
  std::size_t len = 0;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 1;
  }
  std::size_t k = 1;
  if (i + k < text.size() && byte(i + k) >= lo && byte(i + k) <= hi) {
    ++k;
    while (k < len && i + k < text.size() && (byte(i + k) & 0xC0) == 0x80) ++k;
  }
  return k;
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = valid_sequence(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

}  // namespace

std::optional<std::string> QueryParams::get(std::string_view name) const {
  for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
    if (it->first == name) return it->second;
  }
  return std::nullopt;
}

std::string to_valid_utf8(std::string_view text) {
  if (is_valid_utf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = valid_sequence(text, i);
    if (n != 0) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    // One replacement per maximal broken prefix (a lead byte and the continuation bytes that
    // could still have completed it), as decoders with replacement do.
    out.append(kReplacement);
    i += broken_prefix(text, i);
  }
  return out;
}

std::optional<ParsedTarget> parse_target(std::string_view target) {
  auto parsed = boost::urls::parse_origin_form(target);
  if (!parsed) {
    // Servers must accept the absolute form too ("http://host/path?q"); its path and query
    // count, the authority is the Host header's business.
    if (target.empty() || target.front() == '/') return std::nullopt;
    parsed = boost::urls::parse_absolute_uri(target);
    if (!parsed || parsed->encoded_path().empty() || parsed->encoded_path().front() != '/') {
      return std::nullopt;
    }
  }
  const boost::urls::url_view& url = *parsed;
  ParsedTarget out;
  out.raw_path = std::string(url.encoded_path());
  out.path = to_valid_utf8(url.path());
  if (url.has_query()) out.raw_query = std::string(url.encoded_query());
  boost::urls::encoding_opts opts;
  opts.space_as_plus = true;
  std::vector<std::pair<std::string, std::string>> items;
  for (const auto& param : url.params(opts)) {
    // "?&a=1" has an empty piece; the callers' framework drops those.
    if (param.key.empty() && !param.has_value) continue;
    items.emplace_back(to_valid_utf8(param.key), to_valid_utf8(param.value));
  }
  out.query = QueryParams(std::move(items));
  return out;
}

std::string redact_target(std::string_view target) {
  const auto mark = target.find('?');
  if (mark == std::string_view::npos) return std::string(target);
  std::string out(target.substr(0, mark + 1));
  std::string_view query = target.substr(mark + 1);
  bool first = true;
  while (true) {
    const auto amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    const auto eq = piece.find('=');
    const std::string_view raw_key = piece.substr(0, eq);
    std::string key(raw_key);
    if (auto decoded = boost::urls::make_pct_string_view(raw_key)) {
      boost::urls::encoding_opts opts;
      opts.space_as_plus = true;
      key = decoded->decode(opts);
    } else {
      key = "api_key";  // undecodable: hide the value to be safe
    }
    if (!first) out += '&';
    first = false;
    if (key == "api_key" && eq != std::string_view::npos) {
      out.append(raw_key);
      out += "=***";
    } else {
      out.append(piece);
    }
    if (amp == std::string_view::npos) break;
    query = query.substr(amp + 1);
  }
  return out;
}

}  // namespace corvid::app::http
