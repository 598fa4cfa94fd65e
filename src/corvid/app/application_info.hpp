#pragma once
// The application's fixed identity: title, description, version, documentation paths and the
// bearer scheme shown in the API document. Plain constants, readable from any thread.
#include <string_view>

namespace corvid::app {

inline constexpr std::string_view kAppTitle = "CorvidParlo机器人API";
inline constexpr std::string_view kAppDescription =
    "基于HOOK的Parlo自动化接口，支持WebSocket实时消息推送";
inline constexpr std::string_view kAppVersion = "2.0.0";
inline constexpr std::string_view kDocsUrl = "/docs";
inline constexpr std::string_view kRedocUrl = "/redoc";

// Names the example key (kExampleApiKey, security.hpp) as the home page shows it.
inline constexpr std::string_view kApiKeyDescription = "API密钥认证，格式: Bearer hvtrno";
inline constexpr std::string_view kSecuritySchemeName = "BearerAuth";
inline constexpr std::string_view kSecuritySchemeType = "http";
inline constexpr std::string_view kSecuritySchemeScheme = "bearer";
inline constexpr std::string_view kSecuritySchemeBearerFormat = "JWT";

// Log channel of the application shell.
inline constexpr std::string_view kLogChannel = "app.main";

}  // namespace corvid::app
