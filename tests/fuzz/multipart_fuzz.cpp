// libFuzzer target for the multipart parser. Input layout: the first line is the Content-Type
// (the boundary comes from it), the next byte picks the piece size, the rest is the body. Any
// outcome but a result or a MultipartError is a finding.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "corvid/app/http/multipart.hpp"

namespace {

class DiscardSink : public corvid::app::http::MultipartSink {
 public:
  void on_part_begin(const corvid::app::http::PartHeaders& headers) override {
    bytes_ += headers.name.size() + headers.filename.value_or("").size();
    (void)corvid::app::http::sanitize_filename(headers.filename.value_or(""));
  }
  void on_part_data(std::string_view data) override { bytes_ += data.size(); }
  void on_part_end() override {}

 private:
  std::size_t bytes_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvid::app::http;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t eol = input.find('\n');
  if (eol == std::string_view::npos || eol + 1 >= input.size()) return 0;
  const std::string_view content_type = input.substr(0, eol);
  const std::size_t piece = 1 + static_cast<unsigned char>(input[eol + 1]);
  const std::string_view body = input.substr(eol + 2);
  try {
    DiscardSink sink;
    MultipartParser parser(multipart_boundary(content_type), sink);
    for (std::size_t pos = 0; pos < body.size(); pos += piece) parser.feed(body.substr(pos, piece));
    parser.finish();
  } catch (const MultipartError&) {
  }
  return 0;
}
