#include "corvid/utils/xdg.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "corvid/utils/errors.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

namespace corvid::xdg {
namespace {

namespace fs = std::filesystem;

RuntimeInfo make_runtime(bool packaged, std::string exe, std::string argv0, std::string root) {
  RuntimeInfo rt;
  rt.packaged = packaged;
  rt.executable_path = std::move(exe);
  rt.argv0 = std::move(argv0);
  rt.root_dir = std::move(root);
  return rt;
}

// A private folder tree under the temp dir, removed afterwards. The working directory moves
// to <tree>/cwd for the test, since two helper candidates are relative to it.
class XdgTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tree_.path();
    fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    old_cwd_ = fs::current_path();
    folder("cwd");
    fs::current_path(root_ / "cwd");
  }
  void TearDown() override {
    fs::current_path(old_cwd_);
    // Locked folders must be opened again before they can be removed.
    for (const auto& p : locked_) fs::permissions(p, fs::perms::owner_all);
  }

  std::string at(const std::string& rel) const { return (root_ / rel).string(); }
  void folder(const std::string& rel) { fs::create_directories(root_ / rel); }
  void file(const std::string& rel) {
    fs::create_directories((root_ / rel).parent_path());
    std::ofstream(root_ / rel) << "helper\n";
  }
  void lock(const std::string& rel) {
    fs::permissions(root_ / rel, fs::perms::none);
    locked_.push_back(root_ / rel);
  }

  // Ordinary: started as <tree>/bin/corvid from the source root <tree>/root.
  RuntimeInfo ordinary() const {
    return RuntimeInfo{.packaged = false,
                       .bundle_dir = std::nullopt,
                       .executable_path = at("elsewhere/corvid"),
                       .argv0 = at("bin/corvid"),
                       .root_dir = at("root")};
  }
  // Packaged: the executable is <tree>/app/bin/corvid; with_bundle adds <tree>/bundle.
  RuntimeInfo packaged(bool with_bundle = false) const {
    return RuntimeInfo{.packaged = true,
                       .bundle_dir = with_bundle ? std::optional(at("bundle")) : std::nullopt,
                       .executable_path = at("app/bin/corvid"),
                       .argv0 = "corvid",
                       .root_dir = at("root")};
  }

  test::TempDir tree_{"xdg"};  // removed after TearDown has opened the locked folders
  fs::path root_;
  fs::path old_cwd_;
  std::vector<fs::path> locked_;
};

TEST(XdgFolders, ExecAndRootFollowTheRunMode) {
  struct Case {
    const char* name;
    RuntimeInfo rt;
    std::string exec_dir;
    std::string root_dir;
  };
  const Case cases[] = {
      {"ordinary: the started program's folder, not made absolute",
       make_runtime(false, "/opt/x/corvid", "build/bin/corvid", "/src"), "build/bin", "/src"},
      {"ordinary: a program without a folder part",
       make_runtime(false, "/opt/x/corvid", "corvid", "/src"), "", "/src"},
      {"packaged: the executable's folder for both",
       make_runtime(true, "/opt/x/corvid", "build/bin/corvid", "/src"), "/opt/x", "/opt/x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(get_exec_dir(c.rt), c.exec_dir);
    EXPECT_EQ(get_root_dir(c.rt), c.root_dir);
  }
}

TEST(XdgFolders, ProcessRuntimeIsReplaceable) {
  set_runtime(make_runtime(true, "/opt/corvid/bin/corvid", "corvid", "/r"));
  EXPECT_EQ(get_exec_dir(), "/opt/corvid/bin");
  EXPECT_EQ(get_tw_dir(), "/opt/corvid/bin");  // no tw folder there: the folder itself
  set_runtime(make_runtime(false, "/opt/corvid/bin/corvid", "x/corvid", "/r"));
  EXPECT_EQ(get_exec_dir(), "x");
  EXPECT_EQ(get_tw_dir(), "/r/tw");
}

// One table over both modes: which folder holds the helpers, which helper file a version gets,
// and whether any helper is present.
TEST_F(XdgTree, LookupsOverFolderTrees) {
  struct Case {
    const char* name;
    bool packaged;
    bool bundle;
    std::vector<std::string> files;
    std::string version;
    std::string tw_dir;  // relative to the tree
    std::string helper;  // relative to the tree; "=" prefix: the exact text returned
    bool has_helper;
  };
  const std::string v = "3.6.0.18";
  const std::string name = "helper_" + v + ".dat";
  const Case cases[] = {
      {"ordinary, no helper anywhere: root/tw, although missing",
       false,
       false,
       {},
       v,
       "root/tw",
       "root/tw/" + name,
       false},
      {"ordinary, the helper in root/tw",
       false,
       false,
       {"root/tw/" + name},
       v,
       "root/tw",
       "root/tw/" + name,
       true},
      {"ordinary never searches beside the program",
       false,
       false,
       {"bin/" + name, "bin/tw/" + name},
       v,
       "root/tw",
       "root/tw/" + name,
       false},
      {"ordinary, tw holds only helper_x: present, but not this version's file",
       false,
       false,
       {"root/tw/helper_x"},
       v,
       "root/tw",
       "root/tw/" + name,
       true},
      {"packaged, nothing anywhere: the exe folder stands in for tw",
       true,
       false,
       {"app/bin/corvid"},
       v,
       "app/bin",
       "app/bin/" + name,
       false},
      {"packaged, the file only under parent(exe)/tw: third candidate",
       true,
       false,
       {"app/bin/corvid", "app/tw/" + name},
       v,
       "app/bin",
       "app/tw/" + name,
       false},
      {"packaged, exe/tw and bundle/tw both present: the one beside the exe",
       true,
       true,
       {"app/bin/tw/" + name, "bundle/tw/" + name},
       v,
       "app/bin/tw",
       "app/bin/tw/" + name,
       true},
      {"packaged, only bundle/tw",
       true,
       true,
       {"app/bin/corvid", "bundle/tw/" + name},
       v,
       "bundle/tw",
       "bundle/tw/" + name,
       true},
      {"packaged, a bundle is ignored when not known",
       true,
       false,
       {"app/bin/corvid", "bundle/tw/" + name},
       v,
       "app/bin",
       "app/bin/" + name,
       false},
      {"packaged, working-folder name before working-folder tw/",
       true,
       false,
       {"app/bin/corvid", "cwd/" + name, "cwd/tw/" + name},
       v,
       "app/bin",
       "=" + name,
       false},
      {"packaged, working-folder tw/ keeps its forward slash",
       true,
       false,
       {"app/bin/corvid", "cwd/tw/" + name},
       v,
       "app/bin",
       "=tw/" + name,
       false},
      {"packaged, the bundle's own folder before bundle/tw walk",
       true,
       true,
       {"app/bin/corvid", "bundle/" + name},
       v,
       "app/bin",
       "bundle/" + name,
       false},
      {"packaged, walk: another version deep in the exe tree",
       true,
       false,
       {"app/bin/corvid", "app/bin/data/sub/helper_3.7.0.26.dat"},
       v,
       "app/bin",
       "app/bin/data/sub/helper_3.7.0.26.dat",
       false},
      {"packaged, walk prefers this version's file wherever it lies",
       true,
       true,
       {"app/bin/corvid", "app/bin/a/helper_3.7.0.26.dat", "bundle/x/y/" + name},
       v,
       "app/bin",
       "bundle/x/y/" + name,
       false},
      {"packaged, walk ignores names without .dat",
       true,
       false,
       {"app/bin/corvid", "app/bin/sub/helper_3.6.0.18.txt", "app/bin/sub/helper_"},
       v,
       "app/bin",
       "app/bin/" + name,
       false},
      {"packaged, helper_ prefix beside the exe counts as present",
       true,
       false,
       {"app/bin/corvid", "app/bin/helper_notes.txt"},
       v,
       "app/bin",
       "app/bin/" + name,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_ / "root");
    fs::remove_all(root_ / "app");
    fs::remove_all(root_ / "bin");
    fs::remove_all(root_ / "bundle");
    fs::remove_all(root_ / "cwd");
    folder("cwd");
    fs::current_path(root_ / "cwd");  // the old working folder is gone
    for (const auto& f : c.files) file(f);
    RuntimeInfo rt = c.packaged ? packaged(c.bundle) : ordinary();

    EXPECT_EQ(get_tw_dir(rt), at(c.tw_dir));
    std::string expected = c.helper.starts_with("=") ? c.helper.substr(1) : at(c.helper);
    EXPECT_EQ(get_helper_file(rt, c.version), expected);
    EXPECT_EQ(has_helper_file(rt), c.has_helper);
  }
}

TEST_F(XdgTree, MissingTwFolderInBothModes) {
  // Ordinary: a missing tw folder is simply "no helpers" (nothing else is looked at).
  file("bin/helper_3.6.0.18.dat");
  EXPECT_FALSE(has_helper_file(ordinary()));
  // Packaged without any tw: the executable's folder is listed instead.
  file("app/bin/helper_3.9.2.26.dat");
  EXPECT_TRUE(has_helper_file(packaged(true)));
  // A file named tw is not a folder of helpers: listing it fails, which is "none".
  file("app/bin/tw");
  EXPECT_EQ(get_tw_dir(packaged()), at("app/bin/tw"));
  EXPECT_FALSE(has_helper_file(packaged()));
}

// The walk looks at a folder's own files before any of its sub-folders; many sub-folders make
// an iterator that descends as it lists fail whatever order the file system lists them in.
TEST_F(XdgTree, WalkTakesAFoldersOwnFilesFirst) {
  file("app/bin/corvid");
  for (int i = 0; i < 16; ++i) file("app/bin/top/sub" + std::to_string(i) + "/helper_3.8.0.15.dat");
  file("app/bin/top/helper_3.7.0.26.dat");
  // The exe folder itself holds only corvid, so "top" is the first folder with a helper.
  EXPECT_EQ(get_helper_file(packaged(), "3.6.0.18"), at("app/bin/top/helper_3.7.0.26.dat"));
}

TEST_F(XdgTree, WalkDoesNotFollowFolderLinks) {
  file("app/bin/corvid");
  fs::create_directory_symlink(root_ / "app", root_ / "app/bin/loop");  // a cycle if followed
  file("outside/helper_3.7.0.26.dat");
  fs::create_directory_symlink(root_ / "outside", root_ / "app/bin/link");
  EXPECT_EQ(get_helper_file(packaged(), "3.6.0.18"), at("app/bin/helper_3.6.0.18.dat"));
}

// Permission checks don't apply to root, so these run in a child that drops to "nobody".
TEST_F(XdgTree, UnreadableFoldersAreSkippedOrCountAsEmpty) {
  file("app/bin/corvid");
  file("app/bin/aaa/locked/helper_3.6.0.18.dat");
  file("app/bin/zzz/helper_3.7.0.26.dat");
  lock("app/bin/aaa/locked");
  file("root/tw/helper_3.6.0.18.dat");
  lock("root/tw");
  auto rt_packaged = packaged();
  auto rt_ordinary = ordinary();
  auto child = test::run_in_child(
      [&](const auto& out) {
        out(get_helper_file(rt_packaged, "3.6.0.18") + "\n");
        out(has_helper_file(rt_ordinary) ? "has\n" : "none\n");
        return 0;
      },
      /*as_nobody=*/true);
  if (child.exit_code == 77) GTEST_SKIP() << "can't switch to user nobody";
  ASSERT_EQ(child.exit_code, 0);
  EXPECT_EQ(child.output, at("app/bin/zzz/helper_3.7.0.26.dat") + "\nnone\n");
}

TEST_F(XdgTree, HostileVersionTextsStayInsideTheFolders) {
  file("root/tw/helper_3.6.0.18.dat");
  file("secret.dat");
  const std::string refused[] = {"../../secret", "/etc/passwd", "3.6.0.18/../../../secret",
                                 "a\\..\\b", std::string("3.6.0.18\0x", 10)};
  for (const auto& version : refused) {
    SCOPED_TRACE(version);
    EXPECT_THROW(get_helper_file(ordinary(), version), ParloRuntimeError);
    EXPECT_THROW(get_helper_file(packaged(true), version), ParloRuntimeError);
  }
  // Dots alone can't leave the folder: the name still begins "helper_".
  for (const std::string version : {"..", ".", "", "...."}) {
    SCOPED_TRACE(version);
    fs::path p = get_helper_file(ordinary(), version);
    EXPECT_EQ(p.parent_path(), fs::path(at("root/tw")));
    EXPECT_EQ(p.filename(), "helper_" + version + ".dat");
  }
}

TEST_F(XdgTree, LogFolderIsCreatedOnceAndAFileInTheWayFails) {
  RuntimeInfo rt = packaged();
  EXPECT_FALSE(fs::exists(at("app/bin/log")));
  EXPECT_EQ(get_log_dir(rt), at("app/bin/log"));
  EXPECT_TRUE(fs::is_directory(at("app/bin/log")));
  EXPECT_EQ(get_log_dir(rt), at("app/bin/log"));  // a second call: same path, no error

  file("bin/log");  // ordinary run started as <tree>/bin/corvid
  EXPECT_THROW(get_log_dir(ordinary()), fs::filesystem_error);
  EXPECT_TRUE(fs::is_regular_file(at("bin/log")));
}

// The supported versions from a probe library, the packaged retry and the fallback. The
// copies are loaded under a file name of their own, so a bare-name load can't find them
// through a library that is already loaded.
TEST_F(XdgTree, SupportVersionsFromTheProbeLibrary) {
  const std::vector<std::string> probe_list = {"1.0.0.1", "2.0.0.2"};
  const std::string versions_lib = XDG_VERSIONS_PROBE;
  const std::string plain_lib = XDG_PLAIN_PROBE;
  const std::string bare = "libcorvid-test-probe.so";
  file("app/bin/corvid");
  RuntimeInfo other = packaged();
  other.executable_path = at("other/bin/corvid");

  EXPECT_EQ(load_support_versions(ordinary(), versions_lib), probe_list);
  EXPECT_EQ(load_support_versions(ordinary(), plain_lib), fallback_versions())
      << "a library without the list";
  EXPECT_EQ(load_support_versions(ordinary(), bare), fallback_versions())
      << "not on the search path";
  EXPECT_EQ(load_support_versions(packaged(), bare), fallback_versions()) << "no tw folder";

  folder("other/bin/tw");
  fs::copy_file(plain_lib, at("other/bin/tw/" + bare));
  EXPECT_EQ(load_support_versions(other, bare), fallback_versions())
      << "the retry finds a library without the list";

  folder("app/bin/tw");
  fs::copy_file(versions_lib, at("app/bin/tw/" + bare));
  EXPECT_EQ(load_support_versions(packaged(), bare), probe_list) << "packaged retry in exe/tw";
  EXPECT_EQ(load_support_versions(ordinary(), bare), fallback_versions())
      << "ordinary runs don't retry";
  EXPECT_EQ(load_support_versions(packaged(), "/no/such/dir/" + bare), probe_list)
      << "the retry uses the file name";
}

TEST(XdgVersions, FallbackListAndExactMembership) {
  EXPECT_EQ(fallback_versions(),
            (std::vector<std::string>{"3.6.0.18", "3.7.0.26", "3.8.0.15", "3.9.0.28", "3.9.2.26"}));
  // The process list comes from the libtapwire.so on the search path when it names its
  // versions (the simulated client names these five), else from the fallback.
  EXPECT_EQ(support_versions(), fallback_versions());
  EXPECT_EQ(support_versions_text(), "3.6.0.18,3.7.0.26,3.8.0.15,3.9.0.28,3.9.2.26");
  struct Case {
    const char* name;
    Json version;
    bool member;
  };
  const Case cases[] = {
      {"a listed version", "3.9.2.26", true},
      {"the first listed", "3.6.0.18", true},
      {"last digit missing", "3.9.2.2", false},
      {"leading blank", " 3.6.0.18", false},
      {"trailing blank", "3.6.0.18 ", false},
      {"a number instead of a text", 3.9, false},
      {"an integer", 3, false},
      {"null", nullptr, false},
      {"empty text", "", false},
      {"a list holding a version", Json::array({"3.9.2.26"}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_support_version(c.version), c.member);
    if (c.version.is_string()) {
      EXPECT_EQ(is_support_version(c.version.get<std::string>()), c.member);
    }
  }
}

// The list is read once per process, so the probe named by the environment is seen only by a
// process that has not asked before: a freshly started one, whatever ran earlier in this one.
TEST(XdgVersions, ExplicitProbeNamesTheList) {
  is_support_version("3.9.2.26");  // this process has its list now; the tool's is its own
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> env;
    std::string expected;
  };
  const Case cases[] = {
      {"probe with a list",
       {{"CORVID_TAPWIRE", XDG_VERSIONS_PROBE}},
       "1.0.0.1,2.0.0.2 2.0.0.2=yes 3.9.2.26=no"},
      {"probe without a list: the fallback",
       {{"CORVID_TAPWIRE", XDG_PLAIN_PROBE}},
       "3.6.0.18,3.7.0.26,3.8.0.15,3.9.0.28,3.9.2.26 2.0.0.2=no 3.9.2.26=yes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ChildProcess tool(XDG_VERSIONS_TOOL, {.args = {"2.0.0.2", "3.9.2.26"}, .env = c.env});
    ASSERT_TRUE(tool.started());
    ASSERT_EQ(tool.wait_exit(std::chrono::seconds(20)), 0) << tool.output();
    EXPECT_EQ(tool.output(), c.expected + "\n");
  }
}

}  // namespace
}  // namespace corvid::xdg
