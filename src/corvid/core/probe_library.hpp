#pragma once
// The native probe boundary: finds and dlopens the probe library, resolves its C ABI into a
// typed table, and offers it as the two probe views the manager and the binding use. When no
// library can be loaded each side gets its do-nothing substitute instead.
// Owner: process-wide; a loaded library is never closed (the probe keeps callback pointers).
// Threads: any; every call goes straight to the probe. A failed call throws ProbeError with
// the probe's own error text, read on the calling thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "corvid/utils/errors.hpp"
#include "corvid/utils/xdg.hpp"
#include "tapwire/tapwire.h"

namespace corvid::core {

// A substitute asked for an operation it does not have.
class AttributeError : public ParloError {
 public:
  using ParloError::ParloError;
  const char* name() const noexcept override { return "AttributeError"; }
};

// What the client manager needs of a probe: version, environment and callbacks.
class ManagerProbe {
 public:
  virtual ~ManagerProbe() = default;
  virtual std::string get_install_parlo_version() = 0;
  virtual void init_env(const std::string& helper_file, const std::string& exe_path) = 0;
  virtual void init_callback(tapwire_accept_fn on_accept, tapwire_recv_fn on_recv,
                             tapwire_close_fn on_close, void* user) = 0;
  // Where the probe came from ("" for the substitute); for the log.
  virtual std::string origin() const = 0;
};

// What the binding needs of a probe: start, attach, detach and send.
class BindingProbe {
 public:
  virtual ~BindingProbe() = default;
  virtual void show_login_qrcode() = 0;
  virtual std::int64_t open(bool smart) = 0;
  virtual std::int64_t attach(std::int64_t pid) = 0;
  virtual std::int64_t detach(std::int64_t pid) = 0;
  virtual std::int64_t send(std::int64_t client_id, const std::string& json) = 0;
};

// One loaded probe library and its resolved symbols. Both views share the handle.
class ProbeLibrary final : public ManagerProbe, public BindingProbe {
 public:
  // dlopens path and resolves every required symbol; nullptr (with the reason in *why) when
  // the file can't be loaded, lacks a symbol or speaks another ABI version. Runs the optional
  // tapwire_module_init when run_module_init.
  static std::unique_ptr<ProbeLibrary> load(const std::string& path, bool run_module_init,
                                            std::string* why);
  ~ProbeLibrary() override;

  std::string get_install_parlo_version() override;
  void init_env(const std::string& helper_file, const std::string& exe_path) override;
  void init_callback(tapwire_accept_fn on_accept, tapwire_recv_fn on_recv,
                     tapwire_close_fn on_close, void* user) override;
  std::string origin() const override { return path_; }

  void show_login_qrcode() override;
  std::int64_t open(bool smart) override;
  std::int64_t attach(std::int64_t pid) override;
  std::int64_t detach(std::int64_t pid) override;
  std::int64_t send(std::int64_t client_id, const std::string& json) override;

  // The raw handle, for looking up optional symbols (tests reach the simulator's controls).
  void* handle() const { return handle_; }

 private:
  struct Symbols;
  ProbeLibrary(void* handle, std::string path, std::unique_ptr<Symbols> symbols);
  [[noreturn]] void fail(const char* op, std::int32_t status) const;

  void* handle_;
  std::string path_;
  std::unique_ptr<Symbols> symbols_;
};

// The manager's substitute: accepts the environment and the callbacks and does nothing with
// them; reports "3.6.0.18" as the installed version.
class ManagerSubstitute final : public ManagerProbe {
 public:
  std::string get_install_parlo_version() override { return "3.6.0.18"; }
  void init_env(const std::string&, const std::string&) override {}
  void init_callback(tapwire_accept_fn, tapwire_recv_fn, tapwire_close_fn, void*) override {}
  std::string origin() const override { return {}; }
};

// The binding's substitute: every operation fails with
// "'MockTapwire' object has no attribute '<op>'".
class BindingSubstitute final : public BindingProbe {
 public:
  void show_login_qrcode() override;
  std::int64_t open(bool smart) override;
  std::int64_t attach(std::int64_t pid) override;
  std::int64_t detach(std::int64_t pid) override;
  std::int64_t send(std::int64_t client_id, const std::string& json) override;
};

// The packaged probe file a manager may load from a tw folder.
inline constexpr const char* kPackagedProbeFile = "tapwire.cp311-win_amd64.pyd";
inline constexpr const char* kProbeLibraryName = "libtapwire.so";

// Finds the manager's probe: $CORVID_TAPWIRE, then "libtapwire.so" through the loader's search
// path, then (packaged runs) <tw>/libtapwire.so and <tw>/tapwire.cp311-win_amd64.pyd, where tw
// is the bundle's tw folder when there is one, else the one beside the executable. nullopt
// when none loads (the caller takes the substitute).
std::unique_ptr<ProbeLibrary> find_manager_probe(const xdg::RuntimeInfo& rt);
// The binding's search: the same without the packaged probe file.
std::unique_ptr<ProbeLibrary> find_binding_probe(const xdg::RuntimeInfo& rt);

// The process-wide probes, resolved on first use and kept for the life of the process. When
// both sides load the same file they share one handle, so one probe serves both.
ManagerProbe& manager_probe();
BindingProbe& binding_probe();

}  // namespace corvid::core
