#pragma once
// The application: builds the process-wide objects in order (messaging service with the
// configuration's client section, connection registry, key table, route table, server), runs
// the start-up lines, serves until SIGINT/SIGTERM, and shuts down in bounded steps (HTTP
// requests, WebSocket closes, client detach), logging on channel "app.main".
// Owner: main builds one and calls run(); the service, registry and binding it creates live
// until the process ends (the probe keeps pointers to them). Threads: run() blocks the calling
// thread, which becomes one of the loop threads; signals are handled on the loop.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "corvid/app/application_lifespan.hpp"
#include "corvid/app/config.hpp"

namespace corvid::app {

struct ApplicationOptions {
  // The file the configuration came from; SIGHUP reads its key table again ("" = keep the
  // keys as loaded).
  std::string config_path;
  std::size_t threads = 0;  // loop threads; 0 = hardware threads
  std::size_t workers = 32;  // threads for blocking client calls
  std::filesystem::path static_dir = "static";
  // Holds swagger-ui/ and redoc/ for the documentation pages ("" = web/vendor under the
  // installation root).
  std::filesystem::path vendor_dir;
  std::chrono::milliseconds step_bound = kShutdownStepBound;
};

class Application {
 public:
  // Builds everything but does not listen yet. Throws on a start-up failure that leaves
  // nothing to serve (static folder unusable, route table inconsistent).
  Application(Config config, ApplicationOptions options);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Start-up lines, listen, serve until a stop signal, shut down. Gives the process's exit
  // code: 0 after an orderly stop, non-zero when the address could not be used.
  int run();

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace corvid::app
