#pragma once
// The home page "/" (an introduction with a WebSocket test console) and the health answer
// "/health". Both are built from constants, need no key and look at neither the service nor
// the client. Pure functions, callable from any thread; the page is rendered once and shared.
#include <string>
#include <string_view>

#include "corvid/utils/json.hpp"

namespace corvid::app {

// The page with the title and the example key filled in (HTML-escaped, so a configured title
// could never break the markup).
std::string render_home_page(std::string_view title, std::string_view example_key);

// The page for the application's own title and example key, rendered on first use.
const std::string& home_page();

// {"status": "healthy", "message": ...}, keys in this order.
Json health_answer();

}  // namespace corvid::app
