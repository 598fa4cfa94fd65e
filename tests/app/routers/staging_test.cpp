// Where uploads stage and what happens when their folder cannot be removed: the temporary
// folder is looked up and created by each upload (a missing one costs no route at start), a
// staging folder goes even when every descriptor is taken (and one that cannot go is tried
// again later), and a refused send whose file cannot be removed says so in its answer.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/routers/parlo_fixture.hpp"
#include "corvid/app/routers/parlo_routes_staging.hpp"

namespace corvid::test {
namespace {

namespace fs = std::filesystem;
using app::routers::parlo::StagingFolder;
using boost::beast::http::verb;

constexpr const char* kBoundary = "----corvid-staging-boundary";

std::string form(const std::string& filename, const std::string& content) {
  return std::string("--") + kBoundary +
         "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + filename +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n--" + kBoundary +
         "--\r\n";
}

HeaderList form_headers() {
  return {auth_header()[0],
          {"Content-Type", std::string("multipart/form-data; boundary=") + kBoundary}};
}

// Takes every descriptor the process may still open (under a lowered soft limit) until it is
// destroyed, so that whatever runs meanwhile gets EMFILE from open().
class DescriptorsExhausted {
 public:
  DescriptorsExhausted() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 4096);
    ::setrlimit(RLIMIT_NOFILE, &low);
    for (;;) {
      const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      fds_.push_back(fd);
    }
    exhausted_ = errno == EMFILE;
  }
  ~DescriptorsExhausted() {
    for (int fd : fds_) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved_);
  }
  bool exhausted() const { return exhausted_; }
  // Gives n descriptors back.
  void release(std::size_t n) {
    for (; n > 0 && !fds_.empty(); --n) {
      ::close(fds_.back());
      fds_.pop_back();
    }
  }

 private:
  rlimit saved_{};
  std::vector<int> fds_;
  bool exhausted_ = false;
};

TEST(StagingFolder, RemovalWorksWhenDescriptorsRunOutAndAFailedOneIsRetried) {
  const fs::path root =
      fs::temp_directory_path() / ("corvid-staging-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::path plain;
  fs::path crowded;
  {
    auto a = std::make_unique<StagingFolder>(root);
    a->open_file("upload.bin");
    a->write("bytes");
    a->close_file();
    plain = a->folder();
    // Something else landed in this one, folders in folders: its removal has to walk them,
    // with a descriptor for each level.
    auto b = std::make_unique<StagingFolder>(root);
    b->open_file("other.bin");
    b->close_file();
    crowded = b->folder();
    fs::create_directories(crowded / "d1" / "d2" / "d3" / "d4");
    std::ofstream(crowded / "d1" / "d2" / "d3" / "d4" / "stray") << "x";

    DescriptorsExhausted out;
    ASSERT_TRUE(out.exhausted());
    a.reset();
    EXPECT_FALSE(fs::exists(plain)) << "the removal of a staged file needs no descriptor";
    // Two back: too few for the walk, enough for the failure's log line (and for the checks
    // a sanitizer makes around it).
    out.release(2);
    b.reset();
    EXPECT_TRUE(fs::exists(crowded));  // the walk ran out: the folder waits
    EXPECT_EQ(app::routers::parlo::staging_removals_pending(), 1u);
  }
  // With descriptors back, the next staging folder's life tries it again.
  { StagingFolder next(root); }
  EXPECT_FALSE(fs::exists(crowded));
  EXPECT_EQ(app::routers::parlo::staging_removals_pending(), 0u);
  EXPECT_TRUE(fs::is_empty(root));
  fs::remove_all(root);
}

// No upload root configured: the system's temporary folder, which does not exist when the
// routes are built and is created by the upload that needs it.
class MissingTempFolder : public ParloApi {
 protected:
  void configure(TestServerOptions&, app::routers::ParloRouteOptions& routes) override {
    temp_ = upload_root_ / "not" / "yet";
    ::setenv("TMPDIR", temp_.c_str(), 1);
    routes.upload_root.clear();
  }
  fs::path temp_;
};

TEST_F(MissingTempFolder, TheUploadCreatesItAndOtherRoutesNeverNeedIt) {
  ASSERT_FALSE(fs::exists(temp_));
  EXPECT_EQ(get("/status").status, 200);
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  EXPECT_FALSE(fs::exists(temp_));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "missing from the start" : "removed after an upload");
    auto r = client_->request(verb::post, "/api/parlo/send/file?to_uid=uid_alice",
                              form("a.txt", "hello"), form_headers());
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.json()["message"], "文件发送成功") << r.body;
    const auto sent_files = sent(MT_SEND_FILE_MSG);
    ASSERT_FALSE(sent_files.empty());
    const std::string path = sent_files.back()["data"]["file"].get<std::string>();
    EXPECT_EQ(path.rfind(temp_.string() + "/", 0), 0u) << path;
    EXPECT_TRUE(wait_until([&] { return fs::exists(temp_) && fs::is_empty(temp_); }));
    fs::remove_all(upload_root_ / "not");
  }
}

// The client refuses the file and its staged copy then cannot be removed (something replaced
// it with a folder that holds a file): the answer is the error text, not "failed to send".
class StuckStagedFile : public ParloApi {
 protected:
  void configure(TestServerOptions&, app::routers::ParloRouteOptions& routes) override {
    routes.staging_grace = std::chrono::seconds(2);
  }
};

TEST_F(StuckStagedFile, RefusedSendWhoseFileStaysAnswersTheError) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  sim_.ok({{"cmd", "fail"}, {"op", "send"}, {"text", "client refused"}});
  const std::pair<const char*, const char*> cases[] = {{"/send/image", "发送图片时出错: "},
                                                       {"/send/file", "发送文件时出错: "}};
  for (const auto& [route, prefix] : cases) {
    SCOPED_TRACE(route);
    const std::string saved = "parlo_router | 文件已保存到: ";
    const auto before = logs_->lines().size();
    auto answer = std::async(std::launch::async, [&, route = std::string(route)] {
      HttpClient c(server_->port(), std::chrono::seconds(20));
      return c.request(verb::post, "/api/parlo" + route + "?to_uid=uid_alice", form("x.png", "PNG"),
                       form_headers());
    });
    std::string staged_path;
    ASSERT_TRUE(wait_until([&] {
      const auto lines = logs_->lines();
      for (std::size_t i = before; i < lines.size(); ++i) {
        if (auto at = lines[i].find(saved); at != std::string::npos) {
          staged_path = lines[i].substr(at + saved.size());
          return true;
        }
      }
      return false;
    }));
    // Within the grace period: the refused file is swapped for a folder that is not empty.
    fs::remove(staged_path);
    fs::create_directory(staged_path);
    std::ofstream(fs::path(staged_path) / "inside") << "x";

    const auto r = answer.get();
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.json(), Json({{"success", false},
                              {"message", std::string(prefix) +
                                              "cannot remove the staged file: Directory not empty"},
                              {"data", nullptr}}))
        << r.body;
    // The request's folder still goes, with whatever is in it.
    EXPECT_TRUE(staging_empty());
  }
}

}  // namespace
}  // namespace corvid::test
