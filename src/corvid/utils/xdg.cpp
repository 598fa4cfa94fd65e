#include "corvid/utils/xdg.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

#include <tapwire/tapwire.h>

#include "corvid/utils/errors.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::xdg {
namespace {

namespace fs = std::filesystem;

#ifndef CORVID_SOURCE_ROOT
#define CORVID_SOURCE_ROOT ""
#endif

// A probe list longer than this is not a list of client versions but a broken library.
constexpr std::size_t kMaxProbeVersions = 1024;

constexpr std::string_view kHelperPrefix = "helper_";
constexpr std::string_view kHelperSuffix = ".dat";

struct RuntimeSlot {
  std::mutex mutex;  // guards info
  RuntimeInfo info;
};

// Never destroyed: lookups may run on threads that outlive main.
RuntimeSlot& runtime_slot() {
  static auto* slot = [] {
    auto* s = new RuntimeSlot;
    s->info.root_dir = CORVID_SOURCE_ROOT;
    return s;
  }();
  return *slot;
}

// "Exists" as a file or a folder; any error (permissions, a broken link) counts as missing.
bool path_exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(p, ec);
}

bool is_folder(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}

std::string dirname(const std::string& p) { return fs::path(p).parent_path().string(); }

std::string join(const fs::path& a, const fs::path& b) { return (a / b).string(); }

bool starts_with_helper(const std::string& name) { return name.starts_with(kHelperPrefix); }

bool is_helper_name(const std::string& name) {
  return name.starts_with(kHelperPrefix) && name.ends_with(kHelperSuffix);
}

// True at the first entry of folder whose name begins "helper_"; false when none does or the
// folder can't be listed (an error part-way through counts as a failed listing).
bool folder_has_helper(const fs::path& folder) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return false;
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (starts_with_helper(it->path().filename().string())) return true;
  }
  return false;
}

struct WalkResult {
  std::optional<std::string> exact;  // helper_<version>.dat
  std::optional<std::string> first;  // the first helper_*.dat of any version
};

// Top-down walk in listing order: a folder's own files are looked at before any of its
// sub-folders is entered. Links to folders are not followed (a link cycle would never end);
// folders that can't be listed are skipped. Stops at the exact name.
void walk(const fs::path& folder, const std::string& exact_name, WalkResult& result) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return;
  std::vector<fs::path> sub_folders;
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    std::error_code kind_ec;
    if (entry.is_directory(kind_ec)) {
      if (!entry.is_symlink(kind_ec)) sub_folders.push_back(entry.path());
      continue;
    }
    std::string name = entry.path().filename().string();
    if (!is_helper_name(name)) continue;
    std::string found = join(folder, name);
    if (name == exact_name) {
      result.exact = std::move(found);
      return;
    }
    if (!result.first) result.first = std::move(found);
  }
  for (const fs::path& sub : sub_folders) {
    walk(sub, exact_name, result);
    if (result.exact) return;
  }
}

// A version must stay inside one file name: with a separator or a NUL it could name a file
// outside the folders searched (the name always begins "helper_", so ".." alone is harmless).
void check_version_text(std::string_view version) {
  if (version.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) {
    throw ParloRuntimeError("invalid Parlo version text: " + std::string(version));
  }
}

bool env_flag(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return false;
  std::string v(value);
  std::transform(v.begin(), v.end(), v.begin(), [](unsigned char c) { return std::tolower(c); });
  return v == "1" || v == "true" || v == "yes" || v == "on";
}

// The list the library at path exports, or nothing when it can't be loaded, lacks the symbol
// or gives no usable list. The library stays loaded: the client manager opens the same file
// later and gets the same handle.
std::optional<std::vector<std::string>> read_probe_versions(const std::string& path) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return std::nullopt;
  using ListFn = const char* const* (*)(size_t*);
  auto fn = reinterpret_cast<ListFn>(::dlsym(handle, "tw_support_versions"));
  if (fn == nullptr) return std::nullopt;
  size_t count = 0;
  const char* const* list = fn(&count);
  if (list == nullptr || count == 0 || count > kMaxProbeVersions) return std::nullopt;
  std::vector<std::string> versions;
  versions.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    if (list[i] != nullptr) versions.emplace_back(list[i]);
  }
  if (versions.empty()) return std::nullopt;
  return versions;
}

}  // namespace

RuntimeInfo detect_runtime(std::string_view argv0) {
  RuntimeInfo info;
#ifdef CORVID_PACKAGED_BUILD
  info.packaged = true;
#else
  info.packaged = env_flag("CORVID_PACKAGED");
#endif
  if (const char* bundle = std::getenv("CORVID_BUNDLE_DIR"); bundle != nullptr && *bundle) {
    info.bundle_dir = bundle;
  }
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  info.executable_path = ec ? std::string(argv0) : exe.string();
  info.argv0 = std::string(argv0);
  info.root_dir = CORVID_SOURCE_ROOT;
  return info;
}

RuntimeInfo runtime() {
  auto& slot = runtime_slot();
  std::lock_guard lock(slot.mutex);
  return slot.info;
}

void set_runtime(RuntimeInfo info) {
  auto& slot = runtime_slot();
  std::lock_guard lock(slot.mutex);
  slot.info = std::move(info);
}

std::string get_exec_dir(const RuntimeInfo& rt) {
  return dirname(rt.packaged ? rt.executable_path : rt.argv0);
}
std::string get_exec_dir() { return get_exec_dir(runtime()); }

std::string get_log_dir(const RuntimeInfo& rt) {
  std::string dir = join(get_exec_dir(rt), "log");
  if (!is_folder(dir)) fs::create_directories(dir);  // throws, e.g. for a file named "log"
  return dir;
}
std::string get_log_dir() { return get_log_dir(runtime()); }

std::string get_root_dir(const RuntimeInfo& rt) {
  return rt.packaged ? dirname(rt.executable_path) : rt.root_dir;
}
std::string get_root_dir() { return get_root_dir(runtime()); }

std::string get_tw_dir(const RuntimeInfo& rt) {
  if (!rt.packaged) return join(get_root_dir(rt), "tw");
  std::string exec_dir = get_exec_dir(rt);
  if (std::string beside = join(exec_dir, "tw"); path_exists(beside)) return beside;
  if (rt.bundle_dir) {
    if (std::string bundled = join(*rt.bundle_dir, "tw"); path_exists(bundled)) return bundled;
  }
  return exec_dir;
}
std::string get_tw_dir() { return get_tw_dir(runtime()); }

std::string get_helper_file(const RuntimeInfo& rt, std::string_view version) {
  check_version_text(version);
  const std::string name =
      std::string(kHelperPrefix) + std::string(version) + std::string(kHelperSuffix);
  const std::string primary = join(get_tw_dir(rt), name);
  if (path_exists(primary) || !rt.packaged) return primary;

  std::vector<std::string> candidates = {
      join(get_exec_dir(rt), name),
      join(fs::path(get_exec_dir(rt)) / "tw", name),
      join(fs::path(dirname(get_exec_dir(rt))) / "tw", name),
      name,
      "tw/" + name,
  };
  if (rt.bundle_dir) {
    candidates.push_back(join(*rt.bundle_dir, name));
    candidates.push_back(join(fs::path(*rt.bundle_dir) / "tw", name));
  }
  for (const std::string& candidate : candidates) {
    if (path_exists(candidate)) return candidate;
  }

  // Last resort: any helper file in the executable's tree (then the bundle's). The exact
  // version is preferred wherever it lies, so a helper of another version that happens to be
  // listed first is taken only when the right one is nowhere.
  std::vector<std::string> search_dirs = {get_exec_dir(rt)};
  if (rt.bundle_dir) search_dirs.push_back(*rt.bundle_dir);
  WalkResult result;
  for (const std::string& dir : search_dirs) {
    walk(dir, name, result);
    if (result.exact) return *result.exact;
  }
  if (result.first) {
    log::get("xdg")->warn("no helper file for version {}; using {}", version, *result.first);
    return *result.first;
  }
  return primary;
}
std::string get_helper_file(std::string_view version) {
  return get_helper_file(runtime(), version);
}

bool has_helper_file(const RuntimeInfo& rt) {
  std::string dir = get_tw_dir(rt);
  if (path_exists(dir)) return folder_has_helper(dir);
  if (!rt.packaged) return false;
  return folder_has_helper(get_exec_dir(rt));
}
bool has_helper_file() { return has_helper_file(runtime()); }

const std::vector<std::string>& fallback_versions() {
  static const auto* list =
      new std::vector<std::string>{"3.6.0.18", "3.7.0.26", "3.8.0.15", "3.9.0.28", "3.9.2.26"};
  return *list;
}

std::vector<std::string> load_support_versions(const RuntimeInfo& rt, const std::string& library) {
  if (auto list = read_probe_versions(library)) return *list;
  if (rt.packaged) {
    fs::path tw = fs::path(dirname(rt.executable_path)) / "tw";
    if (path_exists(tw)) {
      if (auto list = read_probe_versions((tw / fs::path(library).filename()).string())) {
        return *list;
      }
    }
  }
  return fallback_versions();
}

const std::vector<std::string>& support_versions() {
  // Read once; never destroyed (probe threads may still ask while the process exits).
  static const std::vector<std::string>* list = [] {
    // An explicitly named probe is the one the client manager loads, so its list counts.
    if (const char* explicit_probe = std::getenv("CORVID_TAPWIRE");
        explicit_probe != nullptr && *explicit_probe) {
      if (auto probe_list = read_probe_versions(explicit_probe)) {
        return new std::vector<std::string>(std::move(*probe_list));
      }
    }
    return new std::vector<std::string>(load_support_versions(runtime()));
  }();
  return *list;
}

std::string support_versions_text() {
  std::string text;
  bool first = true;
  for (const std::string& v : support_versions()) {
    if (!first) text += ',';
    text += v;
    first = false;
  }
  return text;
}

bool is_support_version(std::string_view version) {
  const auto& list = support_versions();
  return std::find(list.begin(), list.end(), version) != list.end();
}

bool is_support_version(const std::string& version) {
  return is_support_version(std::string_view(version));
}

bool is_support_version(const char* version) {
  return version != nullptr && is_support_version(std::string_view(version));
}

bool is_support_version(const Json& version) {
  return version.is_string() &&
         is_support_version(std::string_view(version.get_ref<const std::string&>()));
}

}  // namespace corvid::xdg
