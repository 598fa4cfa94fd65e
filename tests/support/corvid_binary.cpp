#include "support/corvid_binary.hpp"

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

#include "support/wait.hpp"

namespace corvid::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// No setting of the caller's environment leaks into the server under test.
const std::vector<std::string> kServerSettings{
    "CORVID_CONFIG",        "CORVID_SERVER_HOST",    "CORVID_SERVER_PORT",
    "CORVID_SERVER_DEBUG",  "CORVID_PARLO_EXE_PATH", "CORVID_PARLO_VERSION",
    "CORVID_AUTH_API_KEYS", "CORVID_PACKAGED",       "CORVID_BUNDLE_DIR"};

// The port of the first "listening on http://host:port" line; 0 while there is none.
std::uint16_t listening_port(const std::string& output) {
  const std::string marker = "listening on http://";
  const auto at = output.find(marker);
  if (at == std::string::npos) return 0;
  const auto end = output.find_first_of(" \r\n", at + marker.size());
  if (end == std::string::npos) return 0;  // the line is not complete yet
  const std::string address = output.substr(at + marker.size(), end - at - marker.size());
  const auto colon = address.rfind(':');
  if (colon == std::string::npos) return 0;
  return static_cast<std::uint16_t>(std::stoi(address.substr(colon + 1)));
}

}  // namespace

CorvidBinary::CorvidBinary(CorvidOptions options) : options_(std::move(options)), dir_("binary") {
  if (!options_.api_keys) options_.api_keys = KeyList{{"main", random_key()}};
  if (!options_.api_keys->empty()) key_ = options_.api_keys->front().second;
  if (options_.config_file) return;
  config_ = {{"server", {{"host", "127.0.0.1"}, {"port", options_.port}, {"debug", false}}},
             {"parlo", {{"exe_path", ""}, {"version", ""}}},
             {"auth", {{"api_keys", Json::object()}}}};
  for (const auto& [name, value] : options_.server.items()) config_["server"][name] = value;
  write_config(*options_.api_keys);
}

CorvidBinary::~CorvidBinary() {
  control_.reset();
  process_.reset();
}

fs::path CorvidBinary::binary() { return fs::path(CORVID_BINARY_ROOT) / "bin" / "corvid"; }

std::string CorvidBinary::random_key() {
  std::random_device rd;
  std::string key = "k-";
  for (int i = 0; i < 24; ++i) key += "abcdefghijklmnopqrstuvwxyz0123456789"[rd() % 36];
  return key;
}

fs::path CorvidBinary::config_path() const {
  return options_.config_file ? *options_.config_file : dir_ / "config.json";
}

void CorvidBinary::write_config(const KeyList& api_keys) {
  Json table = Json::object();
  for (const auto& [name, key] : api_keys) table[name] = key;
  config_["auth"]["api_keys"] = table;
  const auto temp = dir_ / "config.json.new";
  std::ofstream(temp) << config_.dump(2);
  fs::rename(temp, dir_ / "config.json");
}

void CorvidBinary::launch() {
  ProcessOptions process;
  process.args = {"--config", config_path().string()};
  if (options_.threads > 0) {
    process.args.push_back("--threads");
    process.args.push_back(std::to_string(options_.threads));
  }
  for (const auto& a : options_.args) process.args.push_back(a);
  process.cwd = dir_.path();
  process.unset_env = kServerSettings;
  process.env = options_.env;
  if (options_.control_socket) process.env.emplace_back("TAPWIRE_SIM_CONTROL", control_path());
  process.output_file = dir_ / "corvid.log";
  fs::path program = binary();
  if (options_.descriptors > 0) {
    // prlimit sets the limit and runs the server in its own place (same process).
    const std::string n = std::to_string(options_.descriptors);
    process.args.insert(process.args.begin(), {"--nofile=" + n + ":" + n, binary().string()});
    program = "/usr/bin/prlimit";
  }
  port_ = 0;
  control_.reset();
  process_ = std::make_unique<ChildProcess>(program, std::move(process));
}

bool CorvidBinary::start(std::chrono::milliseconds limit) {
  if (!process_) launch();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto left = [&] {
    return std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(
                             deadline - std::chrono::steady_clock::now()));
  };
  const bool listening = wait_until(
      [&] {
        port_ = listening_port(output());
        return port_ != 0 || process_->wait_for(0ms).has_value();
      },
      left());
  if (!listening || port_ == 0) return false;
  HttpClient http(port_, 2s);
  if (!wait_until([&] { return process_->wait_for(0ms) || http.get("/health").status == 200; },
                  left()) ||
      process_->wait_for(0ms)) {
    return false;
  }
  return !options_.control_socket || wait_until([&] { return fs::exists(control_path()); }, left());
}

std::optional<int> CorvidBinary::stop(int signo, std::chrono::milliseconds limit) {
  process_->signal(signo);
  return process_->wait_exit(limit);
}

HeaderList CorvidBinary::auth() const { return {{"Authorization", "Bearer " + key_}}; }

HttpResponse CorvidBinary::get(const std::string& target, std::chrono::milliseconds timeout) {
  return HttpClient(port_, timeout).get(target, auth());
}

HttpResponse CorvidBinary::post(const std::string& target, std::chrono::milliseconds timeout) {
  return HttpClient(port_, timeout).request(boost::beast::http::verb::post, target, {}, auth());
}

bool CorvidBinary::open_and_log_in(std::chrono::seconds limit) {
  HttpClient http(port_, limit + 10s);
  if (http.request(boost::beast::http::verb::post, "/api/parlo/open", {}, auth()).status != 200)
    return false;
  const auto waited =
      http.request(boost::beast::http::verb::post,
                   "/api/parlo/wait_login?timeout=" + std::to_string(limit.count()), {}, auth());
  const auto body = Json::parse(waited.body, nullptr, false);
  return waited.status == 200 && body.is_object() && body.value("success", false);
}

Control& CorvidBinary::control() {
  if (!control_) control_ = std::make_unique<Control>(control_path());
  return *control_;
}

std::string CorvidBinary::output() const { return process_ ? process_->output() : std::string{}; }

bool CorvidBinary::logged(const std::string& text) const {
  return output().find(text) != std::string::npos;
}

std::string CorvidBinary::lines_with(const std::string& text) const {
  std::istringstream in(output());
  std::string line, found;
  while (std::getline(in, line)) {
    if (line.find(text) != std::string::npos) found += line + "\n";
  }
  return found;
}

long CorvidBinary::rss_kib() const { return status_kib(pid(), "VmRSS"); }
long CorvidBinary::anon_kib() const { return status_kib(pid(), "RssAnon"); }
long CorvidBinary::peak_kib() const { return status_kib(pid(), "VmHWM"); }
void CorvidBinary::reset_peak() const {
  std::ofstream("/proc/" + std::to_string(pid()) + "/clear_refs") << "5";
}
double CorvidBinary::cpu_seconds() const { return test::cpu_seconds(pid()); }

long status_kib(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
    if (i == 15) break;
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace corvid::test
