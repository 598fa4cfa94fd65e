// Entry: parse options, load the configuration, build the process-wide objects in order, run.
// Start-up runs on the main thread, which then becomes one of the loop threads until the stop.
// Exit status: 0 after a clean stop, 1 when the server cannot start (address in use, unusable
// static folder), 2 for a configuration error, CLI11's codes for bad options.
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include <CLI/CLI.hpp>

#include "corvid/app/application.hpp"
#include "corvid/app/config.hpp"
#include "corvid/utils/console.hpp"
#include "corvid/utils/log.hpp"
#include "corvid/utils/memory.hpp"
#include "corvid/utils/xdg.hpp"

namespace {

constexpr int kExitConfigError = 2;
constexpr int kExitStartFailure = 1;
constexpr int kDefaultWorkers = 32;

struct DescriptorLimit {
  rlim_t before = 0;
  rlim_t after = 0;
  int error = 0;
};

// Connections and staging files each take a descriptor: the soft limit the server was started
// with (often 1,024) is raised to the hard limit.
DescriptorLimit raise_descriptor_limit() {
  DescriptorLimit out;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    out.error = errno;
    return out;
  }
  out.before = out.after = limit.rlim_cur;
  if (limit.rlim_cur == limit.rlim_max) return out;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    out.error = errno;
    return out;
  }
  out.after = limit.rlim_cur;
  return out;
}

std::string limit_text(rlim_t value) {
  return value == RLIM_INFINITY ? std::string("unlimited") : std::to_string(value);
}

struct Options {
  std::optional<std::string> config_path;
  std::optional<std::string> host;
  std::optional<int> port;
  int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  int workers = kDefaultWorkers;
};

std::string text_or_none(const std::optional<std::string>& value) {
  return value ? "\"" + *value + "\"" : std::string(corvid::console::kNone);
}

void log_startup(const corvid::app::Config& config, const Options& options) {
  auto log = corvid::log::get("corvid");
  log->info("configuration: {}", config.source.empty() ? "defaults" : config.source);
  log->info("server: host {}, port {}, debug {}", config.server.host, config.server.port,
            config.server.debug);
  if (config.server.debug) {
    log->info("debug on: debug log level (a compiled server has no code reload)");
  }
  log->info("parlo: exe_path {}, version {}", text_or_none(config.parlo.exe_path),
            text_or_none(config.parlo.version));
  log->info("auth: {} API key(s) configured", config.auth.api_keys.size());
  log->info("threads {}, workers {}", options.threads, options.workers);

  namespace xdg = corvid::xdg;
  auto rt = xdg::runtime();
  log->info("runtime: {} run, exec dir \"{}\", root \"{}\", tw dir \"{}\"",
            rt.packaged ? "packaged" : "ordinary", xdg::get_exec_dir(rt), xdg::get_root_dir(rt),
            xdg::get_tw_dir(rt));
  log->info("supported Parlo versions: {}", xdg::support_versions_text());
}

}  // namespace

int main(int argc, char** argv) {
  const DescriptorLimit descriptors = raise_descriptor_limit();

  // 1. Options.
  Options options;
  CLI::App cli{"Corvid: an HTTP + WebSocket API in front of the Parlo desktop client."};
  cli.add_option("--config", options.config_path,
                 "configuration file (default: $CORVID_CONFIG, else ./config.json)");
  cli.add_option("--host", options.host, "listen address (overrides server.host)")
      ->check([](const std::string& host) { return host.empty() ? "an empty host" : ""; });
  cli.add_option("--port", options.port, "listen port, 0 = any free port (overrides server.port)")
      ->check(CLI::Range(0, 65535));
  cli.add_option("--threads", options.threads, "threads running the network loop")
      ->check(CLI::Range(1, 1024))
      ->capture_default_str();
  cli.add_option("--workers", options.workers, "threads for blocking client calls")
      ->check(CLI::Range(1, 4096))
      ->capture_default_str();
  CLI11_PARSE(cli, argc, argv);
  // Before any thread exists, so every thread shares the capped arenas.
  corvid::memory::configure_allocator(options.threads);

  // 2. How this process runs (folders, helper files and supported versions depend on it).
  corvid::xdg::set_runtime(corvid::xdg::detect_runtime(argc > 0 ? argv[0] : ""));

  // 3. Configuration: a broken file stops the start with a clear message.
  corvid::app::Config config;
  const std::string config_path = corvid::app::resolve_config_path(options.config_path);
  try {
    config = corvid::app::load_config(config_path);
    if (options.host) config.server.host = *options.host;
    if (options.port) config.server.port = *options.port;
    config.document["server"]["host"] = config.server.host;
    config.document["server"]["port"] = config.server.port;
  } catch (const corvid::app::ConfigError& e) {
    std::fprintf(stderr, "corvid: configuration error: %s\n", e.what());
    return kExitConfigError;
  }
  corvid::log::set_level(config.server.debug ? spdlog::level::debug : spdlog::level::info);
  log_startup(config, options);
  if (descriptors.error != 0) {
    corvid::log::get("corvid")->warn("descriptor limit not raised: {}",
                                     std::strerror(descriptors.error));
  } else if (descriptors.after != descriptors.before) {
    corvid::log::get("corvid")->info("descriptor limit raised from {} to {}",
                                     limit_text(descriptors.before), limit_text(descriptors.after));
  } else {
    corvid::log::get("corvid")->info("descriptor limit {}", limit_text(descriptors.after));
  }

  // 4. Build the application and serve until SIGINT/SIGTERM; 5. the orderly shutdown runs
  // inside run(), which gives the exit status.
  try {
    corvid::app::ApplicationOptions app_options;
    app_options.config_path = config_path;
    app_options.threads = static_cast<std::size_t>(options.threads);
    app_options.workers = static_cast<std::size_t>(options.workers);
    corvid::app::Application app(std::move(config), std::move(app_options));
    return app.run();
  } catch (const std::exception& e) {
    corvid::log::get("app.main")->error("start-up failed: {}", e.what());
    std::fprintf(stderr, "corvid: start-up failed: %s\n", e.what());
    return kExitStartFailure;
  }
}
