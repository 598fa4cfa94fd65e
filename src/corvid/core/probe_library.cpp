#include "corvid/core/probe_library.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <vector>

#include "corvid/utils/log.hpp"

namespace corvid::core {

struct ProbeLibrary::Symbols {
  decltype(&::tapwire_abi_version) abi_version = nullptr;
  decltype(&::tapwire_last_error) last_error = nullptr;
  decltype(&::tapwire_get_install_parlo_version) get_install_parlo_version = nullptr;
  decltype(&::tapwire_init_env) init_env = nullptr;
  decltype(&::tapwire_init_callback) init_callback = nullptr;
  decltype(&::tapwire_show_login_qrcode) show_login_qrcode = nullptr;
  decltype(&::tapwire_open) open = nullptr;
  decltype(&::tapwire_attach) attach = nullptr;
  decltype(&::tapwire_detach) detach = nullptr;
  decltype(&::tapwire_send) send = nullptr;
};

namespace {

template <class Fn>
bool resolve(void* handle, const char* name, Fn& out, std::string* missing) {
  out = reinterpret_cast<Fn>(::dlsym(handle, name));
  if (!out && missing->empty()) *missing = name;
  return out != nullptr;
}

}  // namespace

ProbeLibrary::ProbeLibrary(void* handle, std::string path, std::unique_ptr<Symbols> symbols)
    : handle_(handle), path_(std::move(path)), symbols_(std::move(symbols)) {}

// The handle stays open: the probe may still run threads that call back into the process.
ProbeLibrary::~ProbeLibrary() = default;

std::unique_ptr<ProbeLibrary> ProbeLibrary::load(const std::string& path, bool run_module_init,
                                                 std::string* why) {
  std::string ignored;
  if (!why) why = &ignored;
  ::dlerror();
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* err = ::dlerror();
    *why = err ? err : "dlopen failed";
    return nullptr;
  }
  auto symbols = std::make_unique<Symbols>();
  std::string missing;
  resolve(handle, "tapwire_abi_version", symbols->abi_version, &missing);
  resolve(handle, "tapwire_last_error", symbols->last_error, &missing);
  resolve(handle, "tapwire_get_install_parlo_version", symbols->get_install_parlo_version,
          &missing);
  resolve(handle, "tapwire_init_env", symbols->init_env, &missing);
  resolve(handle, "tapwire_init_callback", symbols->init_callback, &missing);
  resolve(handle, "tapwire_show_login_qrcode", symbols->show_login_qrcode, &missing);
  resolve(handle, "tapwire_open", symbols->open, &missing);
  resolve(handle, "tapwire_attach", symbols->attach, &missing);
  resolve(handle, "tapwire_detach", symbols->detach, &missing);
  resolve(handle, "tapwire_send", symbols->send, &missing);
  if (!missing.empty()) {
    *why = path + ": missing symbol " + missing;
    ::dlclose(handle);
    return nullptr;
  }
  if (const std::int32_t abi = symbols->abi_version(); abi != TAPWIRE_ABI_VERSION) {
    *why = path + ": ABI version " + std::to_string(abi) + ", expected " +
           std::to_string(TAPWIRE_ABI_VERSION);
    ::dlclose(handle);
    return nullptr;
  }
  if (run_module_init) {
    using InitFn = decltype(&::tapwire_module_init);
    if (auto init = reinterpret_cast<InitFn>(::dlsym(handle, "tapwire_module_init"))) {
      if (const std::int32_t status = init(); status != 0) {
        const char* text = symbols->last_error();
        *why = path + ": module initialisation failed: " + (text ? text : "");
        // The handle may be shared with an earlier successful load of the same file, so it
        // stays open; dlopen counts references and this one is simply never used.
        return nullptr;
      }
    }
  }
  return std::unique_ptr<ProbeLibrary>(new ProbeLibrary(handle, path, std::move(symbols)));
}

void ProbeLibrary::fail(const char* op, std::int32_t status) const {
  const char* text = symbols_->last_error ? symbols_->last_error() : nullptr;
  if (text && *text) throw ProbeError(text);
  throw ProbeError(std::string(op) + " failed with status " + std::to_string(status));
}

std::string ProbeLibrary::get_install_parlo_version() {
  std::vector<char> buf(64);
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::size_t needed = 0;
    const std::int32_t status =
        symbols_->get_install_parlo_version(buf.data(), buf.size(), &needed);
    if (status == 0) return std::string(buf.data());
    // A version longer than the buffer: grow once to what the probe asked for and retry.
    if (needed + 1 > buf.size() && needed < (1u << 20)) {
      buf.resize(needed + 1);
      continue;
    }
    fail("get_install_parlo_version", status);
  }
  throw ProbeError("get_install_parlo_version: the version text keeps growing");
}

void ProbeLibrary::init_env(const std::string& helper_file, const std::string& exe_path) {
  if (auto s = symbols_->init_env(helper_file.c_str(), exe_path.c_str()); s != 0) {
    fail("init_env", s);
  }
}

void ProbeLibrary::init_callback(tapwire_accept_fn on_accept, tapwire_recv_fn on_recv,
                                 tapwire_close_fn on_close, void* user) {
  if (auto s = symbols_->init_callback(on_accept, on_recv, on_close, user); s != 0) {
    fail("init_callback", s);
  }
}

void ProbeLibrary::show_login_qrcode() {
  if (auto s = symbols_->show_login_qrcode(); s != 0) fail("show_login_qrcode", s);
}

std::int64_t ProbeLibrary::open(bool smart) {
  std::int64_t pid = 0;
  if (auto s = symbols_->open(smart ? 1 : 0, &pid); s != 0) fail("open", s);
  return pid;
}

std::int64_t ProbeLibrary::attach(std::int64_t pid) {
  std::int64_t result = 0;
  if (auto s = symbols_->attach(pid, &result); s != 0) fail("attach", s);
  return result;
}

std::int64_t ProbeLibrary::detach(std::int64_t pid) {
  std::int64_t result = 0;
  if (auto s = symbols_->detach(pid, &result); s != 0) fail("detach", s);
  return result;
}

std::int64_t ProbeLibrary::send(std::int64_t client_id, const std::string& json) {
  std::int64_t result = 0;
  if (auto s = symbols_->send(client_id, json.data(), json.size(), &result); s != 0) {
    fail("send", s);
  }
  return result;
}

namespace {

[[noreturn]] void no_attribute(std::string_view op) {
  throw AttributeError("'MockTapwire' object has no attribute '" + std::string(op) + "'");
}

}  // namespace

void BindingSubstitute::show_login_qrcode() { no_attribute("show_login_qrcode"); }
std::int64_t BindingSubstitute::open(bool) { no_attribute("open"); }
std::int64_t BindingSubstitute::attach(std::int64_t) { no_attribute("attach"); }
std::int64_t BindingSubstitute::detach(std::int64_t) { no_attribute("detach"); }
std::int64_t BindingSubstitute::send(std::int64_t, const std::string&) { no_attribute("send"); }

namespace {

bool path_exists(const std::filesystem::path& p) {
  std::error_code ec;
  return std::filesystem::exists(p, ec);
}

// The tw folder of a packaged run: the bundle's when it has one, else the executable's.
std::filesystem::path packaged_tw_dir(const xdg::RuntimeInfo& rt) {
  std::filesystem::path tw = std::filesystem::path(rt.executable_path).parent_path() / "tw";
  if (rt.bundle_dir) {
    std::filesystem::path bundle_tw = std::filesystem::path(*rt.bundle_dir) / "tw";
    if (path_exists(bundle_tw)) tw = bundle_tw;
  }
  return tw;
}

std::unique_ptr<ProbeLibrary> find_probe(const xdg::RuntimeInfo& rt, bool with_packaged_file) {
  auto log = corvid::log::get("ParloManager");
  std::string why;
  if (const char* explicit_path = std::getenv("CORVID_TAPWIRE"); explicit_path && *explicit_path) {
    if (auto lib = ProbeLibrary::load(explicit_path, false, &why)) return lib;
    // Named on purpose by the operator, so its failure is worth a line.
    log->warn("CORVID_TAPWIRE={} could not be loaded: {}", explicit_path, why);
  }
  if (auto lib = ProbeLibrary::load(kProbeLibraryName, false, &why)) return lib;
  log->debug("{} not found through the library search path: {}", kProbeLibraryName, why);
  if (!rt.packaged) return nullptr;

  const std::filesystem::path tw = packaged_tw_dir(rt);
  if (path_exists(tw)) {
    if (auto lib = ProbeLibrary::load((tw / kProbeLibraryName).string(), false, &why)) return lib;
    log->debug("no probe library in {}: {}", tw.string(), why);
  }
  if (with_packaged_file) {
    const std::filesystem::path file = tw / kPackagedProbeFile;
    if (path_exists(file)) {
      if (auto lib = ProbeLibrary::load(file.string(), true, &why)) return lib;
      log->debug("packaged probe {} not usable: {}", file.string(), why);
    }
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<ProbeLibrary> find_manager_probe(const xdg::RuntimeInfo& rt) {
  return find_probe(rt, true);
}

std::unique_ptr<ProbeLibrary> find_binding_probe(const xdg::RuntimeInfo& rt) {
  return find_probe(rt, false);
}

ManagerProbe& manager_probe() {
  // Never freed: the probe calls back into the process until it exits.
  static ManagerProbe* probe = []() -> ManagerProbe* {
    if (auto lib = find_manager_probe(xdg::runtime())) return lib.release();
    corvid::log::get("ParloManager")
        ->warn("no probe library could be loaded; no client can be driven");
    return new ManagerSubstitute;
  }();
  return *probe;
}

BindingProbe& binding_probe() {
  static BindingProbe* probe = []() -> BindingProbe* {
    if (auto lib = find_binding_probe(xdg::runtime())) return lib.release();
    return new BindingSubstitute;
  }();
  return *probe;
}

}  // namespace corvid::core
