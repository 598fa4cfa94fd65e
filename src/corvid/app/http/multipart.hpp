#pragma once
// A streaming multipart/form-data parser: fed the body in pieces as they arrive, it hands each
// part's headers and then its content in pieces to a sink, so an upload goes to disk without
// ever sitting whole in memory (the parser keeps at most one piece plus a delimiter's length).
// Header blocks, header lines and the number of parts are bounded; anything malformed is a
// MultipartError. Owner: one request; not thread-safe (one strand feeds it). Free of Beast.
// Also: the boundary from a Content-Type, and the file-name sanitiser for staged uploads.
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvid::app::http {

inline constexpr std::size_t kMaxBoundaryLength = 70;          // the multipart limit
inline constexpr std::size_t kMaxPartHeaderBytes = 16 * 1024;  // one part's header block
inline constexpr std::size_t kMaxPartHeaders = 32;             // header lines per part
inline constexpr std::size_t kMaxParts = 256;                  // parts per body
inline constexpr std::size_t kMaxFileNameBytes = 255;          // one name on common file systems

// The answer the HTTP layer gives for any parser failure (400).
inline constexpr std::string_view kMultipartParseErrorText = "There was an error parsing the body";

class MultipartError : public std::runtime_error {
 public:
  enum class Kind {
    not_multipart,     // the Content-Type is not multipart/form-data
    missing_boundary,  // no usable boundary parameter
    malformed,         // the body breaks the framing
    limit,             // a header block, header line count or part count over its bound
  };
  MultipartError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

// One part's headers, as received (names as written, values trimmed), plus the form-data
// fields taken from Content-Disposition.
struct PartHeaders {
  std::vector<std::pair<std::string, std::string>> fields;
  std::string name;                     // the form field name ("" when absent)
  std::optional<std::string> filename;  // present only when the part carries one
  std::string content_type;             // "" when absent

  // The first header of that name (case-insensitive).
  std::optional<std::string> get(std::string_view field_name) const;
};

// Receives the parts in order: begin, data pieces (possibly none, possibly empty-free), end.
// An exception thrown by the sink stops the parser and leaves it failed.
class MultipartSink {
 public:
  virtual ~MultipartSink() = default;
  virtual void on_part_begin(const PartHeaders& headers) = 0;
  virtual void on_part_data(std::string_view data) = 0;
  virtual void on_part_end() = 0;
};

// The boundary parameter of a multipart/form-data Content-Type (quoted or not). Throws
// MultipartError not_multipart / missing_boundary.
std::string multipart_boundary(std::string_view content_type);

class MultipartParser {
 public:
  MultipartParser(std::string boundary, MultipartSink& sink);

  // Consumes the next piece of the body. Throws MultipartError on malformed input, or what the
  // sink throws; after a throw every call throws again.
  void feed(std::string_view data);

  // The body ended: throws MultipartError unless the closing delimiter was seen.
  void finish();

  // True once the closing delimiter was seen (anything after it is ignored).
  bool complete() const { return state_ == State::epilogue; }
  std::size_t parts() const { return parts_; }

 private:
  enum class State { preamble, after_delimiter, headers, body, epilogue, failed };

  std::size_t process(std::string_view input);
  std::size_t on_preamble(std::string_view input);
  std::size_t on_after_delimiter(std::string_view input);
  std::size_t on_headers(std::string_view input);
  std::size_t on_body(std::string_view input);
  void add_header_line(std::string_view line);
  [[noreturn]] void fail(MultipartError::Kind kind, const std::string& what);

  std::string delimiter_;  // "\r\n--" + boundary
  MultipartSink& sink_;
  State state_ = State::preamble;
  bool at_start_ = true;
  std::string buffer_;  // unconsumed input carried to the next feed
  PartHeaders current_;
  std::size_t header_bytes_ = 0;
  std::size_t parts_ = 0;
};

// A caller's file name made into one safe name inside a staging folder: the last path segment
// only (either separator), no drive prefix, no control, invalid-UTF-8, bidi-override or
// reserved characters, not "", "." or "..", not a reserved device name, at most
// kMaxFileNameBytes bytes (cut on a character boundary, keeping a short extension). Ordinary
// names, non-ASCII ones included, come back unchanged, since the recipient sees this name.
std::string sanitize_filename(std::string_view name);

}  // namespace corvid::app::http
