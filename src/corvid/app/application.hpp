#pragma once
// The application: builds the process-wide objects in order (messaging service with the
// configuration's client section, connection registry, key table, route table, server), runs
// the start-up lines, serves until SIGINT/SIGTERM, and shuts down within one overall bound
// (HTTP requests, WebSocket closes, client detach, worker threads), logging on channel
// "app.main". Every way out of a stop (orderly, forced by the bound, a second signal) first
// removes the uploads still staged.
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
  std::size_t threads = 0;   // loop threads; 0 = hardware threads
  std::size_t workers = 32;  // threads for blocking client calls
  std::filesystem::path static_dir = "static";
  // Holds swagger-ui/ and redoc/ for the documentation pages ("" = web/vendor under the
  // installation root).
  std::filesystem::path vendor_dir;
  // A stop signal ends the process within this: the HTTP drain, the WebSocket closes, the
  // detach and the wait for the worker threads each get a fixed share (ShutdownPlan).
  std::chrono::milliseconds shutdown_bound = kShutdownBound;
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
  // code: 0 after a stop, non-zero when the address could not be used. A stop whose worker
  // threads do not finish within the bound ends the process itself (exit status 0), without
  // returning.
  int run();

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace corvid::app
