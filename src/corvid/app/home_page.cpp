#include "corvid/app/home_page.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "corvid/app/application_info.hpp"
#include "corvid/app/http/response.hpp"
#include "corvid/app/security.hpp"

namespace corvid::embedded {
extern const std::string_view home_html;
}

namespace corvid::app {
namespace {

constexpr std::string_view kTitleMark = "{{TITLE}}";
constexpr std::string_view kKeyMark = "{{EXAMPLE_KEY}}";

// The page (web/home.html, built in): the title goes to <title> and the heading, the example key
// to the administrator line, the key input's preset value and the third quick-use step.
// The console encodes the uid and key into the WebSocket URL, follows the page's scheme
// (wss behind TLS), drops a socket still pending when connect is pressed again, and shows the
// refusal's "detail" when an answer carries no "message".
const std::string_view& page_template() { return corvid::embedded::home_html; }

// One pass over the template, so an inserted value is never scanned for marks itself.
std::string fill(std::string_view tmpl, const std::string& title, const std::string& key) {
  std::string out;
  out.reserve(tmpl.size() + 64);
  std::size_t at = 0;
  while (at < tmpl.size()) {
    const auto next_title = tmpl.find(kTitleMark, at);
    const auto next_key = tmpl.find(kKeyMark, at);
    const auto next = std::min(next_title, next_key);
    if (next == std::string_view::npos) {
      out.append(tmpl.substr(at));
      break;
    }
    out.append(tmpl.substr(at, next - at));
    const bool is_title = next == next_title;
    out.append(is_title ? title : key);
    at = next + (is_title ? kTitleMark.size() : kKeyMark.size());
  }
  return out;
}

}  // namespace

std::string render_home_page(std::string_view title, std::string_view example_key) {
  return fill(page_template(), http::html_escape(title), http::html_escape(example_key));
}

const std::string& home_page() {
  static const std::string page = render_home_page(kAppTitle, kExampleApiKey);
  return page;
}

Json health_answer() {
  return Json{{"status", "healthy"},
              {"message", "Parlo机器人API服务运行正常，支持WebSocket消息推送"}};
}

}  // namespace corvid::app
