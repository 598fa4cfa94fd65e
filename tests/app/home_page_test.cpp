// The home page as served: the fixed texts in their places, the inserted values escaped, and no
// address outside the server itself; the health answer byte for byte.
#include "corvid/app/home_page.hpp"

#include <cstddef>
#include <regex>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace corvid::app {
namespace {

std::size_t count(std::string_view text, std::string_view what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string_view::npos;
       at = text.find(what, at + what.size()))
    ++n;
  return n;
}

TEST(HomePage, TitleTwiceExampleKeyThriceInTheirPlaces) {
  const std::string& page = home_page();
  EXPECT_EQ(count(page, "CorvidParlo机器人API"), 2u);
  EXPECT_EQ(count(page, "hvtrno"), 3u);
  const std::vector<std::string_view> fixed{
      "<title>CorvidParlo机器人API</title>",
      "<h1>🤖 CorvidParlo机器人API</h1>",
      "管理员API密钥: <code>hvtrno</code>",
      R"(id="apiKey" placeholder="输入API密钥" value="hvtrno")",
      "输入API密钥: <code>hvtrno</code>",
      R"(id="uid" placeholder="输入你的ParloID" value="filehelper")",
      R"(<span id="status" class="ws-status disconnected">未连接</span>)",
      R"(<div class="ws-message info">等待连接...</div>)",
      "ws://127.0.0.1:8002/api/ws/connect/{your_uid}?api_key={your_api_key}",
      "基于 C++20 与 Boost.Beast 构建 | 支持 WebSocket 实时消息 | API密钥认证",
      "请在请求头中添加 <code>Authorization: Bearer your_api_key</code>；"
      "WebSocket连接则在查询参数中添加 <code>api_key=your_api_key</code>",
      R"(<a href="/api/config/">⚙️ 当前配置</a>)",
  };
  for (const auto& text : fixed) {
    SCOPED_TRACE(std::string(text));
    EXPECT_NE(page.find(text), std::string::npos);
  }
  EXPECT_EQ(page.find("{{"), std::string::npos);
}

TEST(HomePage, NothingIsLoadedFromElsewhere) {
  const std::string& page = home_page();
  // Every src/href is a path on this server; no script, style sheet or font is fetched.
  const std::regex reference(R"re((src|href)\s*=\s*"([^"]*)")re");
  std::size_t seen = 0;
  for (std::sregex_iterator it(page.begin(), page.end(), reference), end; it != end; ++it, ++seen) {
    SCOPED_TRACE((*it)[0].str());
    const std::string target = (*it)[2].str();
    ASSERT_FALSE(target.empty());
    EXPECT_EQ(target[0], '/');
    EXPECT_NE(target.rfind("//", 0), 0u);
  }
  EXPECT_EQ(seen, 3u);
  EXPECT_EQ(page.find("@import"), std::string::npos);
  EXPECT_EQ(page.find("url("), std::string::npos);
}

TEST(HomePage, InsertedValuesAreEscapedAndNeverExpandedAgain) {
  const auto page = render_home_page(R"(<b>"T"&{{EXAMPLE_KEY}})", R"(k"><script>)");
  EXPECT_NE(page.find("<title>&lt;b&gt;&quot;T&quot;&amp;{{EXAMPLE_KEY}}</title>"),
            std::string::npos);
  EXPECT_NE(page.find(R"(value="k&quot;&gt;&lt;script&gt;")"), std::string::npos);
  EXPECT_EQ(page.find("<b>\"T\""), std::string::npos);
  EXPECT_EQ(count(page, "k&quot;&gt;&lt;script&gt;"), 3u);
}

TEST(Health, FixedAnswer) {
  EXPECT_EQ(
      dump_compact(health_answer()),
      R"({"status":"healthy","message":"Parlo机器人API服务运行正常，支持WebSocket消息推送"})");
}

}  // namespace
}  // namespace corvid::app
