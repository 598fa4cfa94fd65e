#pragma once
// Runtime folders, helper-file lookup and the supported client versions. Stateless apart from
// the process-wide RuntimeInfo (set once by main, replaced by tests) and the supported-version
// list (read once from the probe library, then fixed). Every lookup re-reads the file system;
// nothing is cached. Callable from any thread; only get_log_dir writes (it may create a folder).
// Each lookup has an overload taking the RuntimeInfo explicitly, so tests cover both run modes.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvid/utils/json.hpp"

namespace corvid::xdg {

// How this process was started. Paths are kept as given: none is made absolute.
struct RuntimeInfo {
  bool packaged = false;                  // an installed build (or CORVID_PACKAGED=1)
  std::optional<std::string> bundle_dir;  // folder the package unpacked into, when there is one
  std::string executable_path;            // the running executable (packaged runs)
  std::string argv0;                      // the started program as given on the command line
  std::string root_dir;                   // installation root of ordinary runs (the source tree)
};

// The RuntimeInfo of this process from its environment: packaged when the build was installed
// or CORVID_PACKAGED=1, bundle folder from CORVID_BUNDLE_DIR, executable from /proc/self/exe.
RuntimeInfo detect_runtime(std::string_view argv0);

// The process-wide RuntimeInfo. Defaults to an ordinary run with empty argv0 until set.
RuntimeInfo runtime();
void set_runtime(RuntimeInfo info);

// Folder of the executable (packaged) or of the started program (ordinary; "" without a folder).
std::string get_exec_dir(const RuntimeInfo& rt);
std::string get_exec_dir();

// "log" under get_exec_dir(), created with its parents when missing. Throws
// std::filesystem::filesystem_error when it can't be created (e.g. a file named "log").
std::string get_log_dir(const RuntimeInfo& rt);
std::string get_log_dir();

// Root of the installation: the executable's folder (packaged) or root_dir (ordinary).
std::string get_root_dir(const RuntimeInfo& rt);
std::string get_root_dir();

// Folder holding the probe library and the helper files (may not exist in ordinary runs).
std::string get_tw_dir(const RuntimeInfo& rt);
std::string get_tw_dir();

// The helper file to use for version; may name a missing file (the caller checks). A version
// that would not stay one file name ('/', '\\' or NUL in it) throws ParloRuntimeError.
std::string get_helper_file(const RuntimeInfo& rt, std::string_view version);
std::string get_helper_file(std::string_view version);

// True when the folder that should hold helpers has an entry whose name begins "helper_".
bool has_helper_file(const RuntimeInfo& rt);
bool has_helper_file();

// The supported versions: the probe library's tw_support_versions, or the five-version
// fallback when no library can be loaded or it lacks the symbol. Read once, on first use,
// with the process-wide RuntimeInfo (so main sets that first).
const std::vector<std::string>& support_versions();
// The list joined with "," (the form error texts show).
std::string support_versions_text();

// Exact, whole-text membership in support_versions(); a JSON value that is not text is never
// a member.
bool is_support_version(std::string_view version);
bool is_support_version(const std::string& version);
bool is_support_version(const char* version);
bool is_support_version(const Json& version);

// The five versions used when the probe library can't tell.
const std::vector<std::string>& fallback_versions();

// One reading of the list, for tests: dlopen(library) through the normal search path; when
// that fails and rt is packaged, <exe dir>/tw/<library> once; else the fallback list.
std::vector<std::string> load_support_versions(const RuntimeInfo& rt,
                                               const std::string& library = "libtapwire.so");

}  // namespace corvid::xdg
