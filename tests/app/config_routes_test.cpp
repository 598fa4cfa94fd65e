// The configuration view: effective settings shown, every key value masked, key names in the
// order of the table in force.
#include "corvid/app/routers/config_routes.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "corvid/app/config.hpp"

namespace corvid::app::routers {
namespace {

TEST(MaskedConfig, ShowsSettingsAndNamesButNoKeyValue) {
  Config config;
  config.server.host = "0.0.0.0";
  config.server.port = 9100;
  config.server.debug = true;
  config.parlo.version = "3.9.2.26";
  config.auth.api_keys = {
      {"ops", "s3cret-ops-key"}, {"bot", "another-key"}, {"alias", "s3cret-ops-key"}};

  const auto view = masked_config(config, {"ops", "bot", "alias"});
  const auto text = view.dump();
  for (const auto& [name, key] : config.auth.api_keys) {
    SCOPED_TRACE(name);
    EXPECT_EQ(text.find(key), std::string::npos) << text;
  }
  EXPECT_EQ(text, R"({"server":{"host":"0.0.0.0","port":9100,"debug":true},)"
                  R"("parlo":{"exe_path":null,"version":"3.9.2.26"},)"
                  R"("auth":{"api_keys":{"ops":"********","bot":"********","alias":"********"}}})");
}

TEST(MaskedConfig, EmptyTableGivesAnEmptyObject) {
  const auto view = masked_config(Config{}, {});
  EXPECT_TRUE(view["auth"]["api_keys"].is_object());
  EXPECT_TRUE(view["auth"]["api_keys"].empty());
  EXPECT_EQ(view["server"]["port"], 8002);
}

}  // namespace
}  // namespace corvid::app::routers
