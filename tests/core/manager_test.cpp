// The client manager's routing tables, its checks before the probe starts, and its tolerance
// of malformed probe messages. Messages for made-up client ids are fed to the real manager the
// way the probe's callbacks would.
#include "corvid/core/client_manager.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "core/support.hpp"
#include "corvid/core/parlo.hpp"
#include "corvid/utils/errors.hpp"
#include "corvid/utils/xdg.hpp"
#include "tapwire/tapwire.h"

namespace corvid::core {
namespace {

using corvid::test::wait_until;

std::string ready(std::int64_t pid) {
  return R"({"type": 11024, "data": {"pid": )" + std::to_string(pid) + "}}";
}

class Manager : public ::testing::Test {
 protected:
  void SetUp() override { logs_ = corvid::test::capture_logs(); }
  void TearDown() override { sim_.stop(); }

  // A pid no simulated client has: the probe is told to answer every attach as done without
  // connecting anything, so the binding takes the pid and the test plays the client's part
  // with made-up client ids.
  void give_pid(Parlo& p, std::int64_t pid) {
    sim_.ok({{"cmd", "answer"}, {"op", "attach"}, {"result", 1}});
    EXPECT_EQ(p.attach(pid), 1);
    ASSERT_EQ(p.pid(), pid);
  }

  corvid::test::Sim sim_;
  std::shared_ptr<corvid::test::LogSink> logs_;
};

TEST_F(Manager, ReadyBindsTheFirstMatchingBindingOnly) {
  Parlo& a = Parlo::create();
  Parlo& b = Parlo::create();
  ParloMgr& mgr = ParloMgr::instance();
  ASSERT_NO_FATAL_FAILURE(give_pid(a, 777001));
  ASSERT_NO_FATAL_FAILURE(give_pid(b, 777001));
  ASSERT_EQ(mgr.unbound_count(), 2u);

  mgr.on_recv(900001, ready(777001));
  EXPECT_EQ(mgr.bound_instance(900001), &a);
  EXPECT_TRUE(a.status());
  EXPECT_EQ(a.client_id(), 900001);
  EXPECT_EQ(mgr.unbound_count(), 1u);

  struct Refused {
    const char* name;
    std::int64_t client_id;
    std::string message;
  };
  const Refused refused[] = {
      {"already mapped, even with a matching unbound binding", 900001, ready(777001)},
      {"no binding has that pid", 900002, ready(123)},
      {"a pid given as text never matches", 900003,
       R"({"type": 11024, "data": {"pid": "777001"}})"},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.name);
    EXPECT_THROW(mgr.on_recv(r.client_id, r.message), ParloBindError);
    EXPECT_EQ(mgr.unbound_count(), 1u);
    EXPECT_FALSE(b.status());
  }
  EXPECT_EQ(mgr.bound_instance(900001), &a);
}

TEST_F(Manager, RoutesByClientIdBeforeAndAfterClose) {
  Parlo& a = Parlo::create();
  ParloMgr& mgr = ParloMgr::instance();
  std::atomic<int> texts{0};
  std::atomic<int> quits{0};
  a.on(MT_RECV_TEXT_MSG, "on_text", [&](Parlo&, const Json&) { ++texts; });
  a.on(MT_RECV_PARLO_QUIT_MSG, "on_quit", [&](Parlo&, const Json&) { ++quits; });
  ASSERT_NO_FATAL_FAILURE(give_pid(a, 777002));
  mgr.on_recv(900011, ready(777002));

  const std::string text = R"({"type": 11046, "data": {"content": "x"}})";
  EXPECT_THROW(mgr.on_recv(900012, text), KeyError);  // nobody bound to that id
  EXPECT_EQ(texts.load(), 0);
  mgr.on_recv(900011, text);
  EXPECT_EQ(texts.load(), 1);

  mgr.on_close(900013);  // unknown: only the line
  EXPECT_TRUE(logs_->contains("ParloManager | close client_id: 900013"));
  EXPECT_EQ(quits.load(), 0);
  mgr.on_close(900011);
  EXPECT_EQ(quits.load(), 1);
  EXPECT_FALSE(a.status());
  mgr.on_recv(900011, text);  // the entry stays after close
  EXPECT_EQ(texts.load(), 2);
}

TEST_F(Manager, MalformedMessagesAreRefusedWithoutDelivery) {
  Parlo& a = Parlo::create();
  ParloMgr& mgr = ParloMgr::instance();
  std::atomic<int> seen{0};
  a.on(MT_ALL, "on_all", [&](Parlo&, const Json&) { ++seen; });
  ASSERT_NO_FATAL_FAILURE(give_pid(a, 777003));
  mgr.on_recv(900021, ready(777003));

  enum class Kind { json, type, key };
  struct Case {
    const char* name;
    std::string text;
    Kind kind;
  };
  const Case cases[] = {
      {"not JSON", "{\"type\": 11046, ", Kind::json},
      {"empty", "", Kind::json},
      {"not an object", "[11046]", Kind::type},
      {"no type", R"({"data": {}})", Kind::key},
      {"ready without data", R"({"type": 11024})", Kind::key},
      {"ready data not an object", R"({"type": 11024, "data": [1]})", Kind::type},
      {"ready without pid", R"({"type": 11024, "data": {}})", Kind::key},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    switch (c.kind) {
      case Kind::json:
        EXPECT_THROW(mgr.on_recv(900021, c.text), JsonError);
        break;
      case Kind::type:
        EXPECT_THROW(mgr.on_recv(900021, c.text), TypeError);
        break;
      case Kind::key:
        EXPECT_THROW(mgr.on_recv(900021, c.text), KeyError);
        break;
    }
  }
  EXPECT_EQ(seen.load(), 0);
  EXPECT_TRUE(a.status());
}

TEST_F(Manager, ReadyThatCameFirstIsClaimedWithItsMessages) {
  ParloMgr& mgr = ParloMgr::instance();
  struct Case {
    const char* name;
    std::int64_t client_id;
    std::int64_t pid;
  };
  const Case cases[] = {
      {"an ordinary client id", 900031, 555001},
      // The ABI gives no meaning to 0: it is a client like any other, not "nothing bound".
      {"client id 0", 0, 555002},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Parlo& a = Parlo::create();
    std::vector<std::string> seen;
    std::mutex m;
    a.on(MT_ALL, "on_all", [&](Parlo&, const Json& rec) {
      std::lock_guard lock(m);
      seen.push_back(rec["type"].dump());
    });
    // The client reports itself, its QR code and its login before open/attach returned its pid.
    EXPECT_THROW(mgr.on_recv(c.client_id, ready(c.pid)), ParloBindError);
    mgr.on_recv(c.client_id, R"({"type": 11087, "data": {}})");
    mgr.on_recv(c.client_id, R"({"type": 11025, "data": {"uid": "u", "nickname": "n"}})");
    EXPECT_FALSE(a.status());

    ASSERT_NO_FATAL_FAILURE(give_pid(a, c.pid));
    EXPECT_EQ(mgr.bound_instance(c.client_id), &a);
    EXPECT_TRUE(a.status());
    EXPECT_EQ(a.client_id(), c.client_id);
    EXPECT_TRUE(a.login_status());
    // Later messages go straight through, none is held behind the caught-up ones.
    mgr.on_recv(c.client_id, R"({"type": 11046, "data": {}})");
    mgr.on_close(c.client_id);
    EXPECT_FALSE(a.status());
    std::lock_guard lock(m);
    EXPECT_EQ(seen, (std::vector<std::string>{"11087", "11025", "11046", "11001"}));
  }
}

// A binding detaches from its client and attaches to another one while the old connection's
// close is still on the way (it comes only after the attach returned). Whatever the order of
// the new client's ready and the old client's close, the binding ends up on the new client
// with its login.
TEST_F(Manager, ReattachBindsTheNewClientOnceTheOldConnectionCloses) {
  enum class Ready { before_attach_returns, before_old_close, after_old_close };
  struct Case {
    const char* name;
    Ready ready;
  };
  const Case cases[] = {
      {"ready before attach returns", Ready::before_attach_returns},
      {"ready after attach, before the old close", Ready::before_old_close},
      {"ready only after the old close", Ready::after_old_close},
  };
  ParloMgr& mgr = ParloMgr::instance();
  auto bind_errors = [&] {
    const auto lines = logs_->lines();
    return std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
      return l.find("ParloBindError") != std::string::npos;
    });
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim_.ok({{"cmd", "reset"}});
    Parlo& p = Parlo::create();
    ASSERT_TRUE(p.open());
    ASSERT_TRUE(p.wait_login(10.0));
    const std::int64_t old_client = p.client_id();
    const std::int64_t new_pid = sim_.ok({{"cmd", "spawn"}})["pid"].get<std::int64_t>();
    corvid::test::CallbackHold hold(p, MT_RECV_TEXT_MSG);
    sim_.ok({{"cmd", "inject"},
             {"client_id", old_client},
             {"message", {{"type", MT_RECV_TEXT_MSG}, {"data", Json::object()}}}});
    ASSERT_TRUE(wait_until([&] { return hold.holding(); }));
    ASSERT_EQ(p.detach(), 1);

    switch (c.ready) {
      case Ready::before_attach_returns:
        sim_.ok({{"cmd", "ready"}, {"before_open_returns", true}});
        break;
      case Ready::before_old_close:
        break;
      case Ready::after_old_close:
        sim_.ok({{"cmd", "ready"}, {"delay_ms", 1500}});
        break;
    }
    const std::size_t refused_before = mgr.unbound_count();
    const auto errors_before = bind_errors();
    EXPECT_EQ(p.attach(new_pid), 1);
    EXPECT_EQ(p.pid(), new_pid);
    EXPECT_EQ(p.client_id(), old_client);  // the old connection's close has not come yet
    EXPECT_TRUE(p.status());
    if (c.ready != Ready::after_old_close) {
      // The new client's ready found the binding still on its connection and was remembered.
      ASSERT_TRUE(wait_until([&] { return bind_errors() > errors_before; }));
    }

    hold.release();
    if (c.ready == Ready::after_old_close) {
      ASSERT_TRUE(wait_until([&] { return !p.status(); }));
      EXPECT_EQ(p.client_id(), old_client);  // the ready is still to come
    }

    ASSERT_TRUE(wait_until([&] { return p.status() && p.client_id() != old_client; }))
        << "status " << p.status() << ", client_id " << p.client_id();
    EXPECT_EQ(mgr.bound_instance(p.client_id()), &p);
    EXPECT_TRUE(p.wait_login(10.0));
    EXPECT_EQ(mgr.unbound_count(), refused_before);
  }
}

// A close that arrives for a connection the binding has already left changes nothing.
TEST_F(Manager, LateCloseOfAConnectionLeftBehindKeepsTheNewOne) {
  Parlo& a = Parlo::create();
  ParloMgr& mgr = ParloMgr::instance();
  std::atomic<int> quits{0};
  a.on(MT_RECV_PARLO_QUIT_MSG, "on_quit", [&](Parlo&, const Json&) { ++quits; });
  ASSERT_NO_FATAL_FAILURE(give_pid(a, 777010));
  mgr.on_recv(900041, ready(777010));
  mgr.on_close(900041);
  ASSERT_EQ(quits.load(), 1);
  mgr.on_recv(900042, ready(777010));  // the same client, connected again
  ASSERT_EQ(a.client_id(), 900042);
  mgr.on_recv(900042, R"({"type": 11025, "data": {"uid": "u", "nickname": "n"}})");

  mgr.on_close(900041);  // the first connection's close, once more and late
  EXPECT_EQ(quits.load(), 1);
  EXPECT_TRUE(a.status());
  EXPECT_TRUE(a.login_status());
  EXPECT_EQ(a.client_id(), 900042);
  mgr.on_close(900042);
  EXPECT_EQ(quits.load(), 2);
  EXPECT_FALSE(a.status());
}

TEST_F(Manager, ConcurrentRegistrationBindingAndDelivery) {
  constexpr int kBindings = 8;
  constexpr int kMessages = 200;
  std::vector<Parlo*> bindings(kBindings);
  std::atomic<int> delivered{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kBindings; ++i) {
    threads.emplace_back([&, i] {
      Parlo& p = Parlo::create();
      p.on(MT_RECV_TEXT_MSG, "count", [&](Parlo&, const Json&) { ++delivered; });
      bindings[i] = &p;
      give_pid(p, 600000 + i);
    });
  }
  for (auto& t : threads) t.join();
  threads.clear();
  ParloMgr& mgr = ParloMgr::instance();
  for (int i = 0; i < kBindings; ++i) {
    threads.emplace_back([&, i] {
      const std::int64_t id = 910000 + i;
      try {
        mgr.on_recv(id, ready(600000 + i));
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
      for (int k = 0; k < kMessages; ++k) mgr.on_recv(id, R"({"type": 11046, "data": {}})");
      mgr.on_close(id);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(delivered.load(), kBindings * kMessages);
  for (int i = 0; i < kBindings; ++i) EXPECT_EQ(mgr.bound_instance(910000 + i), bindings[i]);
}

TEST_F(Manager, UnsupportedVersionIsRefusedAndCreationRetried) {
  set_client_defaults(std::nullopt, "3.9.2.2");
  try {
    Parlo::create();
    ADD_FAILURE() << "an unsupported version was accepted";
  } catch (const ParloVersionNotMatchError& e) {
    EXPECT_STREQ(e.what(),
                 "velinor support parlo versions: 3.6.0.18,3.7.0.26,3.8.0.15,3.9.0.28,3.9.2.26");
  }
  EXPECT_EQ(ParloMgr::existing(), nullptr);
  set_client_defaults(std::nullopt, "3.6.0.18");
  EXPECT_NO_THROW(Parlo::create());
  EXPECT_TRUE(logs_->contains("initialize parlo, version: 3.6.0.18"));
}

TEST_F(Manager, HelperFileChecksInOrder) {
  const auto root = std::filesystem::temp_directory_path() /
                    ("corvid_core_helpers_" + std::to_string(::getpid()));
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  xdg::RuntimeInfo rt = xdg::runtime();
  rt.packaged = false;
  rt.root_dir = root.string();
  xdg::set_runtime(rt);

  struct Case {
    const char* name;
    std::optional<std::string> version;
    const char* error;
  };
  const Case cases[] = {
      {"version first, even without helpers", "1.0", "velinor support parlo versions: "},
      {"no tw folder", "3.9.2.26",
       "Helper files not found. Please ensure tw directory with helper_*.dat files is included in "
       "the package."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    set_client_defaults(std::nullopt, c.version);
    try {
      Parlo::create();
      ADD_FAILURE() << "created";
    } catch (const ParloError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << e.what();
    }
  }
  std::filesystem::create_directories(root / "tw");
  std::ofstream(root / "tw" / "helper_3.6.0.18.dat") << "x";
  set_client_defaults(std::nullopt, "3.9.2.26");
  try {
    Parlo::create();
    ADD_FAILURE() << "created";
  } catch (const ParloRuntimeError& e) {
    EXPECT_STREQ(e.what(), "missing core files");
  }
  std::ofstream(root / "tw" / "helper_3.9.2.26.dat") << "x";
  EXPECT_NO_THROW(Parlo::create());
  std::filesystem::remove_all(root);
}

TEST(ProbeLoading, SubstitutesAndRefusedLibraries) {
  ManagerSubstitute manager;
  EXPECT_EQ(manager.get_install_parlo_version(), "3.6.0.18");
  EXPECT_NO_THROW(manager.init_env("h", ""));
  BindingSubstitute binding;
  try {
    binding.open(false);
    ADD_FAILURE() << "opened";
  } catch (const AttributeError& e) {
    EXPECT_STREQ(e.what(), "'MockTapwire' object has no attribute 'open'");
  }
  EXPECT_THROW(binding.send(1, "{}"), AttributeError);

  std::string why;
  EXPECT_EQ(ProbeLibrary::load("/nonexistent/libtapwire.so", false, &why), nullptr);
  EXPECT_FALSE(why.empty());
  // A real shared library that is not a probe: refused for its first missing symbol.
  EXPECT_EQ(ProbeLibrary::load("libm.so.6", false, &why), nullptr);
  EXPECT_NE(why.find("missing symbol tapwire_abi_version"), std::string::npos) << why;
  auto sim = ProbeLibrary::load(CORVID_TAPWIRE_SIM_PATH, false, &why);
  ASSERT_NE(sim, nullptr) << why;
  EXPECT_EQ(sim->get_install_parlo_version(), "3.9.2.26");
}

}  // namespace
}  // namespace corvid::core
