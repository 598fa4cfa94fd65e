#pragma once
// Parsing JSON text into the project's ordered type in time linear in the text's size, whatever
// its shape. The ordered object finds a key by walking its members, so the library's own parser
// spends time quadratic in the members of one object (a body of 1 MiB of distinct keys took half
// a minute of CPU); this builder keeps a hash index of the keys of each large object while it
// fills it, and drops the index once the object is complete.
// Owner: none (a pure function). Threads: any; no shared state.
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "corvid/utils/json.hpp"

namespace corvid {

// Malformed text, or a number beyond the range of a double. what() is the parser's own
// description (it quotes the token it stopped at, which may be as long as the text).
class JsonParseError : public std::runtime_error {
 public:
  JsonParseError(std::size_t offset, const std::string& message)
      : std::runtime_error(message), offset_(offset) {}
  // Byte offset of the token where parsing stopped.
  std::size_t offset() const noexcept { return offset_; }

 private:
  std::size_t offset_;
};

// The value Json::parse gives for the same text (a repeated key keeps its first place and takes
// its last value), in linear time. Throws JsonParseError.
Json parse_json(std::string_view text);

}  // namespace corvid
