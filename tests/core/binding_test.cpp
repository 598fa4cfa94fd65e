// The binding against the real simulated client: lifecycle, login, replies, failures and the
// exact envelopes of every command.
#include "corvid/core/parlo.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>

#include "core/support.hpp"
#include "corvid/core/client_manager.hpp"
#include "corvid/utils/errors.hpp"
#include "tapwire/tapwire.h"

namespace corvid::core {
namespace {

using corvid::test::wait_until;

// Compile-time typing: an integer parameter refuses booleans, texts and floats.
template <class P, class V>
concept CanAttach = requires(P& p, V v) {
  p.attach(v);
};
template <class P, class V>
concept CanQueryDb = requires(P& p, V v) {
  p.sql_query("select 1", v);
};
template <class P, class V>
concept CanAcceptScene = requires(P& p, V v) {
  p.accept_friend_request("e", "t", v);
};
static_assert(CanAttach<Parlo, int> && CanAttach<Parlo, std::int64_t>);
static_assert(!CanAttach<Parlo, bool> && !CanAttach<Parlo, const char*> &&
              !CanAttach<Parlo, double>);
static_assert(CanQueryDb<Parlo, int> && !CanQueryDb<Parlo, bool>);
static_assert(CanAcceptScene<Parlo, int> && !CanAcceptScene<Parlo, bool> &&
              !CanAcceptScene<Parlo, std::string>);

class Binding : public ::testing::Test {
 protected:
  void SetUp() override {
    logs_ = corvid::test::capture_logs();
    parlo_ = &Parlo::create();
  }
  void TearDown() override {
    sim_.stop();
    work_.reset();
    loop_.stop();
  }

  // Starts a client and waits for its (automatic) login.
  void open_and_login() {
    ASSERT_TRUE(parlo_->open());
    ASSERT_TRUE(parlo_->wait_login(10.0));
  }

  // Records every event the binding dispatches under MT_ALL.
  void record_all() {
    parlo_->on(MT_ALL, "record_all", [this](Parlo&, const Json& m) {
      std::lock_guard lock(mutex_);
      events_.push_back(m);
    });
  }
  std::vector<Json> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  bool saw_extend(const std::string& fragment) {
    for (const auto& e : events()) {
      if (e.contains("extend") && e["extend"].is_string() &&
          e["extend"].get<std::string>().find(fragment) != std::string::npos) {
        return true;
      }
    }
    return false;
  }

  // Runs an awaitable on the binding's own event loop (one thread) and waits for its result.
  template <class T>
  std::future<T> start(boost::asio::awaitable<T> op) {
    return boost::asio::co_spawn(loop_, std::move(op), boost::asio::use_future);
  }
  template <class T>
  T run(boost::asio::awaitable<T> op) {
    auto f = start(std::move(op));
    if (f.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      ADD_FAILURE() << "an awaited call did not end";
      std::_Exit(1);
    }
    // The loop thread lets go of the call's result only after it has set it; wait for that, so
    // an exception is read here and released by the last owner in an order the race detector
    // sees (the exception's reference count lives in the uninstrumented C++ runtime).
    std::promise<void> released;
    boost::asio::post(loop_, [&released] { released.set_value(); });
    released.get_future().wait();
    return f.get();
  }

  corvid::test::Sim sim_;
  std::shared_ptr<corvid::test::LogSink> logs_;
  Parlo* parlo_ = nullptr;
  boost::asio::io_context loop_{1};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_{
      loop_.get_executor()};
  std::jthread loop_thread_{[this] { loop_.run(); }};
  std::mutex mutex_;
  std::vector<Json> events_;
};

TEST_F(Binding, OpenReadyLoginAndDispatchOrder) {
  EXPECT_EQ(parlo_->to_string(), "ParloInstance(pid: 0, client_id: 0)");
  std::vector<std::string> order;
  std::mutex m;
  bool logged_in_inside_handler = false;
  parlo_->on(MT_USER_LOGIN_MSG, "on_login", [&](Parlo& p, const Json& rec) {
    std::lock_guard lock(m);
    logged_in_inside_handler = p.login_status();
    order.push_back("login:" + rec["data"].value("uid", ""));
  });
  parlo_->on(MT_ALL, "on_all", [&](Parlo&, const Json& rec) {
    std::lock_guard lock(m);
    order.push_back("all:" + rec["type"].dump());
  });
  parlo_->on(MT_READY_MSG, "on_ready", [&](Parlo&, const Json&) {
    std::lock_guard lock(m);
    order.push_back("ready");
  });

  ASSERT_NO_FATAL_FAILURE(open_and_login());
  EXPECT_NE(parlo_->pid(), 0);
  EXPECT_TRUE(parlo_->status());
  EXPECT_NE(parlo_->client_id(), 0);
  EXPECT_EQ(parlo_->to_string(), "ParloInstance(pid: " + std::to_string(parlo_->pid()) +
                                     ", client_id: " + std::to_string(parlo_->client_id()) + ")");
  EXPECT_EQ(parlo_->get_login_info().value("uid", ""), "uid_standin");
  EXPECT_EQ(parlo_->get_login_info().value("nickname", ""), "Corvid Stand-in");
  ASSERT_TRUE(wait_until([&] {
    std::lock_guard lock(m);
    return std::find(order.begin(), order.end(), "all:11025") != order.end();
  }));
  std::lock_guard lock(m);
  EXPECT_TRUE(logged_in_inside_handler);
  // The ready message binds and goes nowhere else; the login's own handler runs before MT_ALL.
  EXPECT_EQ(std::count(order.begin(), order.end(), "ready"), 0);
  auto login = std::find(order.begin(), order.end(), "login:uid_standin");
  ASSERT_NE(login, order.end());
  EXPECT_EQ(*(login + 1), "all:11025");
  EXPECT_TRUE(logs_->contains("ParloInstance | open parlo pid: " + std::to_string(parlo_->pid())));
  EXPECT_TRUE(logs_->contains(
      "ParloInstance | login success, uid: uid_standin, nickname: Corvid Stand-in"));
  EXPECT_TRUE(logs_->contains("ParloManager | initialize parlo, version: 3.9.2.26"));
}

TEST_F(Binding, ReadyBeforeOpenReturnsStillBindsAndKeepsEarlyEvents) {
  record_all();
  sim_.ok({{"cmd", "ready"}, {"before_open_returns", true}});
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  EXPECT_TRUE(parlo_->status());
  EXPECT_EQ(ParloMgr::instance().bound_instance(parlo_->client_id()), parlo_);
  // What the client reported right after its ready (QR code, login) reached the handlers.
  ASSERT_TRUE(wait_until([&] {
    for (const auto& e : events()) {
      if (e["type"] == MT_USER_LOGIN_MSG) return true;
    }
    return false;
  }));
}

TEST_F(Binding, AttachDetachAndReattachAfterQuit) {
  std::atomic<int> quits{0};
  parlo_->on(MT_RECV_PARLO_QUIT_MSG, "on_parlo_quit", [&](Parlo& p, const Json& rec) {
    EXPECT_FALSE(p.status());
    EXPECT_FALSE(p.login_status());
    EXPECT_EQ(rec, Json::parse(R"({"type": 11001, "data": {}})"));
    ++quits;
  });

  const Json spawned = sim_.ok({{"cmd", "spawn"}});
  const std::int64_t pid = spawned["pid"].get<std::int64_t>();
  EXPECT_NE(parlo_->attach(pid), 0);
  EXPECT_EQ(parlo_->pid(), pid);
  ASSERT_TRUE(wait_until([&] { return parlo_->status(); }));
  ASSERT_TRUE(parlo_->wait_login(10.0));
  const std::int64_t first_client = parlo_->client_id();

  EXPECT_NE(parlo_->detach(), 0);
  ASSERT_TRUE(wait_until([&] { return quits.load() == 1; }));
  EXPECT_EQ(parlo_->client_id(), first_client);  // kept after close

  // The same binding drives the next client.
  EXPECT_NE(parlo_->attach(pid), 0);
  ASSERT_TRUE(wait_until([&] { return parlo_->status(); }));
  EXPECT_NE(parlo_->client_id(), first_client);
  ASSERT_TRUE(parlo_->wait_login(10.0));

  sim_.ok({{"cmd", "quit"}});
  ASSERT_TRUE(wait_until([&] { return quits.load() == 2; }));
  ASSERT_TRUE(parlo_->open());
  ASSERT_TRUE(parlo_->wait_login(10.0));
  EXPECT_TRUE(parlo_->status());
}

TEST_F(Binding, ConcurrentSyncRequestsGetTheirOwnReplies) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  record_all();
  constexpr int kThreads = 16;
  constexpr int kEach = 20;
  std::atomic<int> matched{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string tag = "t" + std::to_string(t) + "_" + std::to_string(i);
        const Json data = parlo_->sql_query("select '" + tag + "'", 1);
        if (data.is_object() && data["result"] == Json::array({Json::array({tag})})) ++matched;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(matched.load(), kThreads * kEach);
  EXPECT_EQ(parlo_->pending_requests(), 0u);
  // Replies never reach the event handlers.
  for (const auto& e : events()) EXPECT_NE(e["type"], MT_SQL_QUERY_MSG) << e.dump();
}

TEST_F(Binding, MissingLateAndDuplicateReplies) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  record_all();

  // Never answered: absent after the wait; held for a late reply.
  sim_.ok({{"cmd", "reply"}, {"code", MT_GET_SELF_MSG}, {"mode", "drop"}});
  EXPECT_TRUE(parlo_->send_sync(MT_GET_SELF_MSG, Json(), 0.05).is_null());
  EXPECT_EQ(parlo_->pending_requests(), 1u);

  // Late: absent to the waiter, then consumed silently when it comes.
  sim_.ok({{"cmd", "reply"}, {"code", MT_GET_CONTACTS_MSG}, {"mode", "delay"}, {"delay_ms", 200}});
  EXPECT_TRUE(parlo_->send_sync(MT_GET_CONTACTS_MSG, Json(), 0.01).is_null());
  EXPECT_EQ(parlo_->pending_requests(), 2u);
  ASSERT_TRUE(wait_until([&] { return parlo_->pending_requests() == 1u; }));
  for (const auto& e : events()) EXPECT_NE(e["type"], MT_GET_CONTACTS_MSG) << e.dump();

  // Twice: the first answers, the second is an ordinary event.
  sim_.ok({{"cmd", "reply"}, {"code", MT_GET_PUBLICS_MSG}, {"mode", "duplicate"}});
  EXPECT_FALSE(parlo_->send_sync(MT_GET_PUBLICS_MSG).is_null());
  ASSERT_TRUE(wait_until([&] {
    for (const auto& e : events()) {
      if (e["type"] == MT_GET_PUBLICS_MSG) return true;
    }
    return false;
  }));

  // No "data": the waiter gets a missing-key error; null "data" is absent.
  sim_.ok({{"cmd", "reply"}, {"code", MT_GET_ROOMS_MSG}, {"mode", "no_data"}});
  EXPECT_THROW(parlo_->get_rooms(), KeyError);
}

TEST_F(Binding, ClientQuitEndsWaitingRequests) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  sim_.ok({{"cmd", "reply"}, {"code", 0}, {"mode", "drop"}});
  sim_.ok({{"cmd", "clear_sent"}});
  std::atomic<int> ended{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      // No limit: only the quit can end these waits.
      if (parlo_->send_sync(MT_GET_SELF_MSG, Json(), std::nullopt).is_null()) ++ended;
    });
  }
  // A request is pending just before its envelope reaches the client: wait until the client
  // holds all four, or the quit could overtake a send, which then fails instead of waiting.
  ASSERT_TRUE(wait_until([&] { return sim_.sent().size() == 4u; }));
  ASSERT_EQ(parlo_->pending_requests(), 4u);
  sim_.ok({{"cmd", "quit"}});
  // Without a limit only the quit can end the waits; a wait that survives it fails here.
  const bool all_ended = wait_until([&] { return ended.load() == 4; });
  if (!all_ended) {
    ADD_FAILURE() << "requests still wait after the client quit";
    std::_Exit(1);
  }
  for (auto& w : waiters) w.join();
  EXPECT_EQ(parlo_->pending_requests(), 0u);
  EXPECT_FALSE(parlo_->login_status());
  EXPECT_THROW(parlo_->get_self_info(), ParloNotLoginError);
}

TEST_F(Binding, MalformedCallbackIsLoggedAndHarmless) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  sim_.ok({{"cmd", "reply"}, {"code", MT_GET_SELF_MSG}, {"mode", "malformed"}});
  EXPECT_TRUE(parlo_->send_sync(MT_GET_SELF_MSG, Json(), 0.2).is_null());
  EXPECT_TRUE(wait_until(
      [&] { return logs_->contains("ParloManager | recv callback error, client_id: "); }));
  // Injected shapes the manager can't route: no "type", and a ready without a pid.
  sim_.ok({{"cmd", "inject"}, {"message", {{"data", {{"x", 1}}}}}});
  EXPECT_TRUE(wait_until([&] { return logs_->contains("KeyError: type"); }));
  sim_.ok({{"cmd", "reply"}, {"code", MT_GET_SELF_MSG}, {"mode", "normal"}});
  EXPECT_FALSE(parlo_->get_self_info().is_null());
}

TEST_F(Binding, ProbeFailuresCarryTheProbeText) {
  sim_.ok({{"cmd", "fail"}, {"op", "open"}, {"text", "cannot start the client"}});
  try {
    parlo_->open();
    ADD_FAILURE() << "open did not fail";
  } catch (const ProbeError& e) {
    EXPECT_STREQ(e.what(), "cannot start the client");
  }
  EXPECT_EQ(parlo_->pid(), 0);  // a failed open stores nothing
  sim_.ok({{"cmd", "fail"}, {"op", "open"}, {"text", nullptr}});

  ASSERT_NO_FATAL_FAILURE(open_and_login());
  sim_.ok({{"cmd", "fail"}, {"op", "send"}, {"text", "pipe broken"}});
  EXPECT_THROW(parlo_->send_text("uid_echo", "hi"), ProbeError);
  EXPECT_THROW(parlo_->get_self_info(), ProbeError);
  EXPECT_EQ(parlo_->pending_requests(), 0u);  // a request that never went out is not kept
}

// The processes the simulated client runs, and which of them a probe is attached to.
std::vector<std::pair<std::int64_t, bool>> processes(corvid::test::Sim& sim) {
  std::vector<std::pair<std::int64_t, bool>> out;
  const Json state = sim.ok({{"cmd", "state"}});
  for (const Json& p : state["processes"]) {
    out.emplace_back(p["pid"].get<std::int64_t>(), p["client_id"].get<std::int64_t>() != 0);
  }
  return out;
}

// One binding drives one client: while it does, open starts nothing, attach to the driven pid
// is done already and attach to another pid is refused; the state stays the driven client's,
// so a detach reaches it.
TEST_F(Binding, WhileDrivenOpenAndAttachLeaveTheDrivenClientAlone) {
  std::atomic<int> quits{0};
  parlo_->on(MT_RECV_PARLO_QUIT_MSG, "on_quit", [&](Parlo&, const Json&) { ++quits; });
  record_all();
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  const std::int64_t pid = parlo_->pid();
  const std::int64_t client = parlo_->client_id();
  const std::int64_t other = sim_.ok({{"cmd", "spawn"}})["pid"].get<std::int64_t>();
  const auto before = processes(sim_);
  EXPECT_EQ(parlo_->driven_pid(), pid);

  EXPECT_TRUE(parlo_->open());
  EXPECT_TRUE(parlo_->open(true, true));
  EXPECT_EQ(parlo_->attach(pid), 1);
  try {
    parlo_->attach(other);
    ADD_FAILURE() << "an attach to another pid was not refused";
  } catch (const ParloRuntimeError& e) {
    EXPECT_EQ(std::string(e.what()), "the client of pid " + std::to_string(pid) +
                                         " is driven; detach it before attaching to pid " +
                                         std::to_string(other));
  }
  EXPECT_EQ(processes(sim_), before) << "nothing started, nothing attached";
  EXPECT_EQ(parlo_->pid(), pid);
  EXPECT_EQ(parlo_->client_id(), client);
  EXPECT_TRUE(parlo_->status());
  EXPECT_TRUE(parlo_->login_status());
  EXPECT_TRUE(logs_->contains("ParloInstance | open parlo: pid " + std::to_string(pid) +
                              " is driven already, nothing started"));
  EXPECT_TRUE(logs_->contains("ParloInstance | attach parlo: pid " + std::to_string(pid) +
                              " is driven already"));

  EXPECT_EQ(parlo_->detach(), 1);
  ASSERT_TRUE(wait_until([&] { return quits.load() == 1; }));
  EXPECT_FALSE(parlo_->driven_pid().has_value());
  for (const auto& [p, attached] : processes(sim_)) EXPECT_FALSE(attached) << p;

  // Let go of, the binding takes the other client. Its QR code was not asked for: the open
  // with show_login_qrcode while driven did not reach the probe.
  EXPECT_EQ(parlo_->attach(other), 1);
  ASSERT_TRUE(wait_until([&] { return parlo_->status(); }));
  EXPECT_EQ(parlo_->driven_pid(), other);
  Json qrcode;
  ASSERT_TRUE(wait_until([&] {
    for (const auto& e : events()) {
      if (e.value("type", 0) == MT_RECV_LOGIN_QRCODE_MSG &&
          e.at("data").value("pid", std::int64_t{0}) == other) {
        qrcode = e;
      }
    }
    return !qrcode.is_null();
  }));
  EXPECT_EQ(qrcode.at("data").value("requested", true), false);
}

// Any number of opens at once start one client: one runs, the others fail at once or, once
// the client is driven, start nothing.
TEST_F(Binding, ConcurrentOpensStartOneClient) {
  // The opened client is bound before open returns, so no open can fall between the return
  // and the ready report.
  sim_.ok({{"cmd", "ready"}, {"before_open_returns", true}});
  std::atomic<int> refused{0};
  std::atomic<int> opened{0};
  {
    std::vector<std::jthread> callers;
    for (int i = 0; i < 8; ++i) {
      callers.emplace_back([&] {
        try {
          if (parlo_->open()) ++opened;
        } catch (const ParloRuntimeError& e) {
          EXPECT_EQ(std::string(e.what()), "another open or attach of the client is running");
          ++refused;
        }
      });
    }
  }
  EXPECT_EQ(opened + refused, 8);
  EXPECT_GE(opened.load(), 1);
  EXPECT_EQ(processes(sim_).size(), 1u);
  EXPECT_EQ(parlo_->driven_pid(), processes(sim_).front().first);
}

// Detached, the client no longer counts as driven even while its close is still on the way:
// an open then starts a client, and the binding drives it once the old connection's close
// is in.
TEST_F(Binding, OpenRightAfterDetachStartsTheNextClient) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  const std::int64_t first = parlo_->pid();
  // The connection's callback thread is held, so its close waits behind the hold.
  corvid::test::CallbackHold hold(*parlo_, MT_RECV_TEXT_MSG);
  sim_.ok({{"cmd", "inject"}, {"message", {{"type", MT_RECV_TEXT_MSG}, {"data", Json::object()}}}});
  ASSERT_TRUE(wait_until([&] { return hold.holding(); }));

  EXPECT_EQ(parlo_->detach(), 1);
  EXPECT_TRUE(parlo_->status()) << "the close came before the detach returned";
  EXPECT_TRUE(parlo_->open());
  const std::int64_t second = parlo_->pid();
  EXPECT_NE(second, first);
  EXPECT_EQ(processes(sim_).size(), 2u);

  hold.release();
  ASSERT_TRUE(wait_until([&] { return parlo_->driven_pid() == second; }));
  EXPECT_TRUE(parlo_->wait_login(10.0));
}

// An attach that does not attach leaves the binding on the pid it has, so a later open or
// attach still finds the client it last drove.
TEST_F(Binding, AttachThatFailsOrFindsNothingKeepsThePreviousPid) {
  std::atomic<int> quits{0};
  parlo_->on(MT_RECV_PARLO_QUIT_MSG, "on_quit", [&](Parlo&, const Json&) { ++quits; });
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  const std::int64_t pid = parlo_->pid();
  const std::int64_t client = parlo_->client_id();
  EXPECT_EQ(parlo_->detach(), 1);
  ASSERT_TRUE(wait_until([&] { return quits.load() == 1; }));

  struct Case {
    const char* name;
    std::int64_t target;
    const char* refusal;  // the probe's failure text, or null for an answer of 0
  };
  const Case cases[] = {
      {"the probe refuses", 4242, "no such process"},
      {"no such client (the probe answers 0)", 987654, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.refusal) {
      sim_.ok({{"cmd", "fail"}, {"op", "attach"}, {"text", c.refusal}});
      EXPECT_THROW(parlo_->attach(c.target), ProbeError);
      sim_.ok({{"cmd", "fail"}, {"op", "attach"}, {"text", nullptr}});
    } else {
      EXPECT_EQ(parlo_->attach(c.target), 0);
    }
    EXPECT_EQ(parlo_->pid(), pid);
    EXPECT_EQ(parlo_->client_id(), client);
    EXPECT_FALSE(parlo_->status());
    EXPECT_EQ(parlo_->to_string(), "ParloInstance(pid: " + std::to_string(pid) +
                                       ", client_id: " + std::to_string(client) + ")");
    EXPECT_TRUE(logs_->contains("ParloInstance | attach parlo pid: " + std::to_string(c.target)));
  }
  // The client it detached from is still there to attach to again.
  EXPECT_EQ(parlo_->attach(pid), 1);
  ASSERT_TRUE(wait_until([&] { return parlo_->status(); }));
  EXPECT_EQ(parlo_->driven_pid(), pid);
}

// A refused attach between open and the opened client's ready report: the ready still finds
// the binding by the opened client's pid, and a wait for the login returns.
TEST_F(Binding, RefusedAttachBeforeTheReadyKeepsTheOpenedClient) {
  sim_.ok({{"cmd", "ready"}, {"delay_ms", 1000}});
  ASSERT_TRUE(parlo_->open());
  const std::int64_t opened = parlo_->pid();
  sim_.ok({{"cmd", "fail"}, {"op", "attach"}, {"text", "access denied"}});
  EXPECT_THROW(parlo_->attach(987655), ProbeError);
  sim_.ok({{"cmd", "fail"}, {"op", "attach"}, {"text", nullptr}});
  EXPECT_EQ(parlo_->attach(987654), 0);
  ASSERT_FALSE(parlo_->status()) << "the ready came before the attach was refused";
  EXPECT_EQ(parlo_->pid(), opened);

  EXPECT_TRUE(parlo_->wait_login(10.0));
  EXPECT_TRUE(parlo_->status());
  EXPECT_EQ(ParloMgr::instance().bound_instance(parlo_->client_id()), parlo_);
}

TEST_F(Binding, NothingIsSentWhileLoggedOut) {
  sim_.ok({{"cmd", "auto_login"}, {"enabled", false}});
  ASSERT_TRUE(parlo_->open());
  ASSERT_TRUE(wait_until([&] { return parlo_->status(); }));
  sim_.ok({{"cmd", "clear_sent"}});
  EXPECT_FALSE(parlo_->login_status());

  const std::vector<std::function<void()>> ops = {
      [&] { parlo_->send(MT_SEND_TEXT_MSG); },
      [&] { parlo_->send_sync(MT_GET_SELF_MSG); },
      [&] { parlo_->get_self_info(); },
      [&] { parlo_->get_room_name("room_demo@chatroom"); },
      [&] { parlo_->search_contacts("uid_bob"); },
      [&] { parlo_->send_text("uid_bob", "x"); },
      [&] { parlo_->create_room(Json::array()); },
      [&] { parlo_->send_pat("room_demo@chatroom", "uid_bob"); },
      [&] { parlo_->modify_friend_remark("uid_bob", "b"); },
  };
  for (std::size_t i = 0; i < ops.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_THROW(ops[i](), ParloNotLoginError);
  }
  // No criteria: nothing to ask, so no login needed.
  EXPECT_EQ(parlo_->search_contacts(), Json::array());
  EXPECT_EQ(parlo_->get_login_info(), Json::object());
  EXPECT_TRUE(sim_.sent().empty());
  EXPECT_EQ(parlo_->pending_requests(), 0u);
}

TEST_F(Binding, LoginWaitsAfterLogoutAndNonBlockingSubscription) {
  sim_.ok({{"cmd", "auto_login"}, {"enabled", false}});
  ASSERT_TRUE(parlo_->open());
  ASSERT_TRUE(wait_until([&] { return parlo_->status(); }));
  EXPECT_FALSE(parlo_->wait_login(0.01));

  std::atomic<int> fired{0};
  const LoginToken kept = parlo_->when_logged_in([&] {
    EXPECT_TRUE(parlo_->login_status());
    ++fired;
  });
  const LoginToken dropped = parlo_->when_logged_in([&] { fired += 100; });
  EXPECT_TRUE(parlo_->cancel_login_wait(dropped));
  EXPECT_NE(kept, 0u);

  sim_.ok({{"cmd", "login"}, {"uid", "uid_first"}, {"nickname", "First"}});
  ASSERT_TRUE(parlo_->wait_login(10.0));
  EXPECT_TRUE(wait_until([&] { return fired.load() == 1; }));
  EXPECT_EQ(parlo_->when_logged_in([&] { ++fired; }), 0u);  // logged in: runs at once
  EXPECT_EQ(fired.load(), 2);

  sim_.ok({{"cmd", "logout"}});
  ASSERT_TRUE(wait_until([&] { return !parlo_->login_status(); }));
  EXPECT_EQ(parlo_->get_login_info().value("uid", ""), "uid_first");  // kept after logout
  EXPECT_FALSE(parlo_->wait_login(0.05));                             // waits for the next login

  std::thread relogin([&] {
    sim_.ok({{"cmd", "login"}, {"uid", "uid_second"}, {"nickname", "Second"}});
  });
  EXPECT_TRUE(parlo_->wait_login(10.0));
  relogin.join();
  EXPECT_EQ(parlo_->get_login_info().value("uid", ""), "uid_second");
}

TEST_F(Binding, LoginWithoutDataIsStillDispatched) {
  sim_.ok({{"cmd", "auto_login"}, {"enabled", false}});
  ASSERT_TRUE(parlo_->open());
  ASSERT_TRUE(wait_until([&] { return parlo_->status(); }));
  std::atomic<int> logins{0};
  parlo_->on(MT_USER_LOGIN_MSG, "on_login", [&](Parlo&, const Json&) { ++logins; });
  sim_.ok({{"cmd", "inject"}, {"message", {{"type", MT_USER_LOGIN_MSG}}}});
  ASSERT_TRUE(wait_until([&] { return logins.load() == 1; }));
  EXPECT_TRUE(parlo_->login_status());
  EXPECT_EQ(parlo_->get_login_info(), Json::object());
  EXPECT_TRUE(logs_->contains("login success, uid: None, nickname: None"));
}

TEST_F(Binding, HandlerGuardAndRegistration) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  std::atomic<int> text_runs{0};
  std::atomic<int> both_runs{0};
  parlo_->on(MT_RECV_TEXT_MSG, "on_bad",
             [](Parlo&, const Json&) { throw std::runtime_error("nope"); });
  parlo_->on(MT_RECV_TEXT_MSG, "on_text", [&](Parlo&, const Json&) { ++text_runs; });
  parlo_->on(MT_RECV_TEXT_MSG, "on_text", [&](Parlo&, const Json&) { ++text_runs; });
  parlo_->on({MT_RECV_TEXT_MSG, MT_RECV_IMAGE_MSG}, "on_both",
             [&](Parlo&, const Json&) { ++both_runs; });
  parlo_->on(std::string_view("11047"), "on_image_by_name",
             [&](Parlo&, const Json&) { ++both_runs; });

  parlo_->send_text("uid_echo", "中文 hello");  // the echo contact answers with a text event
  sim_.ok(
      {{"cmd", "inject"}, {"message", {{"type", MT_RECV_IMAGE_MSG}, {"data", Json::object()}}}});
  ASSERT_TRUE(wait_until([&] { return text_runs.load() == 2 && both_runs.load() == 3; }));
  EXPECT_TRUE(logs_->contains("ParloInstance | callback error, in function `on_bad`, error: nope"));
}

TEST_F(Binding, TypedParametersRefuseBeforeSending) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  sim_.ok({{"cmd", "clear_sent"}});
  const std::vector<std::function<void()>> ops = {
      [&] { parlo_->send_room_at_msg("room_demo@chatroom", "x", "uid_bob"); },
      [&] { parlo_->create_room(Json::object()); },
      [&] { parlo_->add_room_member("room_demo@chatroom", Json("uid_bob")); },
      [&] { parlo_->invite_room_member("room_demo@chatroom", Json()); },
      [&] { parlo_->del_room_member("room_demo@chatroom", 3); },
  };
  for (std::size_t i = 0; i < ops.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_THROW(ops[i](), TypeError);
  }
  EXPECT_TRUE(sim_.sent().empty());
}

TEST_F(Binding, EveryCommandAndQuerySendsItsExactEnvelope) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  struct Case {
    const char* name;
    std::function<void(Parlo&)> call;
    const char* text;  // without "extend"
    bool sync;
  };
  const std::string room = "room_demo@chatroom";
  const Case cases[] = {
      {"send_text", [](Parlo& p) { p.send_text("uid_bob", "hi 中"); },
       R"({"type": 11208, "data": {"to_uid": "uid_bob", "content": "hi \u4e2d"}})", false},
      {"send_room_at_msg",
       [&](Parlo& p) { p.send_room_at_msg(room, "x", Json::array({"uid_bob"})); },
       R"({"type": 11209, "data": {"to_uid": "room_demo@chatroom", "content": "x", "at_list": ["uid_bob"]}})",
       false},
      {"send_card", [](Parlo& p) { p.send_card("uid_bob", "uid_alice"); },
       R"({"type": 11210, "data": {"to_uid": "uid_bob", "card_uid": "uid_alice"}})", false},
      {"send_link_card",
       [](Parlo& p) { p.send_link_card("uid_bob", "T", "D", "http://u/a", "http://i"); },
       R"({"type": 11211, "data": {"to_uid": "uid_bob", "title": "T", "desc": "D", "url": "http://u/a", "image_url": "http://i"}})",
       false},
      {"send_image", [](Parlo& p) { p.send_image("uid_bob", "/no/such.png"); },
       R"({"type": 11212, "data": {"to_uid": "uid_bob", "file": "/no/such.png"}})", false},
      {"send_file", [](Parlo& p) { p.send_file("uid_bob", "C:\\f.txt"); },
       R"({"type": 11213, "data": {"to_uid": "uid_bob", "file": "C:\\f.txt"}})", false},
      {"send_video", [](Parlo& p) { p.send_video("uid_bob", "v.mp4"); },
       R"({"type": 11214, "data": {"to_uid": "uid_bob", "file": "v.mp4"}})", false},
      {"send_gif with absent to_uid", [](Parlo& p) { p.send_gif(Json(), "g.gif"); },
       R"({"type": 11215, "data": {"to_uid": null, "file": "g.gif"}})", false},
      {"send_xml default app type", [](Parlo& p) { p.send_xml("uid_bob", "<x/>"); },
       R"({"type": 11216, "data": {"to_uid": "uid_bob", "xml": "<x/>", "app_type": 5}})", false},
      {"send_xml app type 7", [](Parlo& p) { p.send_xml("uid_bob", "<x/>", 7); },
       R"({"type": 11216, "data": {"to_uid": "uid_bob", "xml": "<x/>", "app_type": 7}})", false},
      {"create_room empty", [](Parlo& p) { p.create_room(Json::array()); },
       R"({"type": 11219, "data": []})", false},
      {"quit_room", [&](Parlo& p) { p.quit_room("room_none@chatroom"); },
       R"({"type": 11226, "data": {"room_uid": "room_none@chatroom"}})", false},
      {"send_pat", [&](Parlo& p) { p.send_pat(room, "uid_bob"); },
       R"({"type": 11217, "data": {"room_uid": "room_demo@chatroom", "patted_uid": "uid_bob"}})",
       true},
      {"accept_friend_request",
       [](Parlo& p) { p.accept_friend_request("v3_carol_request", "v4_carol_ticket", 30); },
       R"({"type": 11218, "data": {"encryptusername": "v3_carol_request", "ticket": "v4_carol_ticket", "scene": 30}})",
       true},
      {"add_room_member", [&](Parlo& p) { p.add_room_member(room, Json::array({"uid_echo"})); },
       R"({"type": 11220, "data": {"room_uid": "room_demo@chatroom", "member_list": ["uid_echo"]}})",
       true},
      {"invite_room_member", [&](Parlo& p) { p.invite_room_member(room, Json::array()); },
       R"({"type": 11221, "data": {"room_uid": "room_demo@chatroom", "member_list": []}})", true},
      {"del_room_member", [&](Parlo& p) { p.del_room_member(room, Json::array({"uid_echo"})); },
       R"({"type": 11222, "data": {"room_uid": "room_demo@chatroom", "member_list": ["uid_echo"]}})",
       true},
      {"modify_room_name", [&](Parlo& p) { p.modify_room_name(room, "Team"); },
       R"({"type": 11223, "data": {"room_uid": "room_demo@chatroom", "name": "Team"}})", true},
      {"modify_room_notice", [&](Parlo& p) { p.modify_room_notice(room, "n"); },
       R"({"type": 11224, "data": {"room_uid": "room_demo@chatroom", "notice": "n"}})", true},
      {"add_room_friend", [&](Parlo& p) { p.add_room_friend(room, "uid_bob", "hi"); },
       R"({"type": 11225, "data": {"room_uid": "room_demo@chatroom", "uid": "uid_bob", "source_type": 14, "remark": "hi"}})",
       true},
      {"modify_friend_remark", [](Parlo& p) { p.modify_friend_remark("uid_bob", "B"); },
       R"({"type": 11227, "data": {"uid": "uid_bob", "remark": "B"}})", true},
      {"get_self_info", [](Parlo& p) { p.get_self_info(); }, R"({"type": 11201, "data": {}})",
       true},
      {"get_contacts", [](Parlo& p) { p.get_contacts(); }, R"({"type": 11202, "data": {}})", true},
      {"get_publics", [](Parlo& p) { p.get_publics(); }, R"({"type": 11203, "data": {}})", true},
      {"get_contact_detail", [](Parlo& p) { p.get_contact_detail("uid_bob"); },
       R"({"type": 11204, "data": {"uid": "uid_bob"}})", true},
      {"get_rooms", [](Parlo& p) { p.get_rooms(); }, R"({"type": 11205, "data": {}})", true},
      {"get_room_detail with absent id", [](Parlo& p) { p.get_room_detail(Json()); },
       R"({"type": 11206, "data": {"room_uid": null}})", true},
      {"get_room_members", [&](Parlo& p) { p.get_room_members(room); },
       R"({"type": 11207, "data": {"room_uid": "room_demo@chatroom"}})", true},
      {"sql_query", [](Parlo& p) { p.sql_query("select 1", 1); },
       R"({"type": 11200, "data": {"sql": "select 1", "db": 1}})", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim_.ok({{"cmd", "clear_sent"}});
    c.call(*parlo_);
    const auto sent = sim_.sent();
    ASSERT_EQ(sent.size(), 1u);
    const std::string expected = c.text;
    if (!c.sync) {
      EXPECT_EQ(sent[0], expected);
      continue;
    }
    // A sync request carries its id last: the same text with ", "extend": "req_<hex>"" before }.
    const std::string prefix = expected.substr(0, expected.size() - 1) + R"(, "extend": "req_)";
    EXPECT_EQ(sent[0].rfind(prefix, 0), 0u) << sent[0];
    EXPECT_EQ(sent[0].size(), prefix.size() + 32 + 2) << sent[0];
  }
  EXPECT_EQ(parlo_->pending_requests(), 0u);
}

TEST_F(Binding, QueriesReadTheClientsData) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  const Json bobs = parlo_->search_contacts(std::nullopt, "bob");
  ASSERT_EQ(bobs.size(), 1u) << bobs.dump();
  EXPECT_EQ(bobs[0]["uid"], "uid_bob");
  EXPECT_EQ(parlo_->get_room_name("room_demo@chatroom"), std::optional<std::string>("Demo Room"));
  EXPECT_EQ(parlo_->get_room_name("room_none@chatroom"), std::optional<std::string>(""));
  parlo_->modify_room_name("room_demo@chatroom", "Team");
  EXPECT_EQ(parlo_->get_room_name("room_demo@chatroom"), std::optional<std::string>("Team"));

  // A lookup that gets no reply is an error, not a name.
  parlo_->set_default_timeout(0.05);
  sim_.ok({{"cmd", "reply"}, {"code", 0}, {"mode", "drop"}});
  EXPECT_THROW(parlo_->get_room_name("room_demo@chatroom"), ParloRuntimeError);
  EXPECT_THROW(parlo_->search_contacts("uid_bob"), ParloRuntimeError);
  EXPECT_TRUE(parlo_->send_pat("room_demo@chatroom", "uid_bob").is_null());  // sync: absent
}

// The awaited forms send what the blocking ones send and read the same results.
TEST_F(Binding, AwaitedFormsMatchTheBlockingOnes) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  using Blocking = std::function<Json(Parlo&)>;
  using Awaited = std::function<boost::asio::awaitable<Json>(Parlo&)>;
  struct Case {
    const char* name;
    Blocking blocking;
    Awaited awaited;
    bool changes_data = false;  // the second call meets the first one's change: replies differ
  };
  const std::string room = "room_demo@chatroom";
  const auto optional_json = [](const std::optional<std::string>& v) {
    return v ? Json(*v) : Json();
  };
  const Case cases[] = {
      {"get_self_info", [](Parlo& p) { return p.get_self_info(); },
       [](Parlo& p) { return p.async_get_self_info(); }},
      {"get_contacts", [](Parlo& p) { return p.get_contacts(); },
       [](Parlo& p) { return p.async_get_contacts(); }},
      {"get_publics", [](Parlo& p) { return p.get_publics(); },
       [](Parlo& p) { return p.async_get_publics(); }},
      {"get_contact_detail", [](Parlo& p) { return p.get_contact_detail("uid_bob"); },
       [](Parlo& p) { return p.async_get_contact_detail("uid_bob"); }},
      {"search_contacts", [](Parlo& p) { return p.search_contacts(std::nullopt, "bob"); },
       [](Parlo& p) {
         return p.async_search_contacts(std::nullopt, "bob", std::nullopt, std::nullopt, true);
       }},
      {"search_contacts without criteria", [](Parlo& p) { return p.search_contacts(); },
       [](Parlo& p) {
         return p.async_search_contacts(std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                        true);
       }},
      {"get_rooms", [](Parlo& p) { return p.get_rooms(); },
       [](Parlo& p) { return p.async_get_rooms(); }},
      {"get_room_detail", [&](Parlo& p) { return p.get_room_detail(room); },
       [&](Parlo& p) { return p.async_get_room_detail(room); }},
      {"get_room_members", [&](Parlo& p) { return p.get_room_members(room); },
       [&](Parlo& p) { return p.async_get_room_members(room); }},
      {"get_room_name", [&](Parlo& p) { return optional_json(p.get_room_name(room)); },
       [&](Parlo& p) -> boost::asio::awaitable<Json> {
         auto name = co_await p.async_get_room_name(room);
         co_return name ? Json(*name) : Json();
       }},
      {"sql_query", [](Parlo& p) { return p.sql_query("select nickname from contact", 1); },
       [](Parlo& p) { return p.async_sql_query("select nickname from contact", 1); }},
      {"send_pat", [&](Parlo& p) { return p.send_pat(room, "uid_bob"); },
       [&](Parlo& p) { return p.async_send_pat(room, "uid_bob"); }, true},
      {"accept_friend_request",
       [](Parlo& p) { return p.accept_friend_request("v3_carol_request", "v4_carol_ticket", 30); },
       [](Parlo& p) {
         return p.async_accept_friend_request("v3_carol_request", "v4_carol_ticket", 30);
       },
       true},
      {"add_room_member",
       [&](Parlo& p) { return p.add_room_member(room, Json::array({"uid_echo"})); },
       [&](Parlo& p) { return p.async_add_room_member(room, Json::array({"uid_echo"})); }, true},
      {"invite_room_member", [&](Parlo& p) { return p.invite_room_member(room, Json::array()); },
       [&](Parlo& p) { return p.async_invite_room_member(room, Json::array()); }},
      {"del_room_member",
       [&](Parlo& p) { return p.del_room_member(room, Json::array({"uid_echo"})); },
       [&](Parlo& p) { return p.async_del_room_member(room, Json::array({"uid_echo"})); }, true},
      {"modify_room_name", [&](Parlo& p) { return p.modify_room_name(room, "Demo Room"); },
       [&](Parlo& p) { return p.async_modify_room_name(room, "Demo Room"); }},
      {"modify_room_notice", [&](Parlo& p) { return p.modify_room_notice(room, "n"); },
       [&](Parlo& p) { return p.async_modify_room_notice(room, "n"); }},
      {"add_room_friend", [&](Parlo& p) { return p.add_room_friend(room, "uid_bob", "hi"); },
       [&](Parlo& p) { return p.async_add_room_friend(room, "uid_bob", "hi"); }},
      {"modify_friend_remark", [](Parlo& p) { return p.modify_friend_remark("uid_bob", "Bob"); },
       [](Parlo& p) { return p.async_modify_friend_remark("uid_bob", "Bob"); }},
  };
  // An envelope without its request id, which differs by nature.
  const auto without_id = [](const std::vector<std::string>& sent) {
    std::vector<std::string> out;
    for (const auto& text : sent) out.push_back(text.substr(0, text.find(R"(, "extend": )")));
    return out;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim_.ok({{"cmd", "clear_sent"}});
    const Json blocking = c.blocking(*parlo_);
    const auto blocking_sent = without_id(sim_.sent());
    sim_.ok({{"cmd", "clear_sent"}});
    const Json awaited = run(c.awaited(*parlo_));
    EXPECT_EQ(without_id(sim_.sent()), blocking_sent);
    if (!c.changes_data) {
      EXPECT_EQ(awaited, blocking);
    }
  }
  // The same refusals, before anything is sent.
  sim_.ok({{"cmd", "clear_sent"}});
  EXPECT_THROW(run(parlo_->async_add_room_member(room, Json("uid_echo"))), TypeError);
  EXPECT_TRUE(sim_.sent().empty());
  EXPECT_EQ(parlo_->pending_requests(), 0u);
  EXPECT_EQ(parlo_->awaiting_requests(), 0u);
}

TEST_F(Binding, AwaitedRequestsEndByReplyTimeoutOrQuitAndPastTheLimitFailAtOnce) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  // A late reply after an awaited timeout is still consumed, never dispatched.
  record_all();
  sim_.ok({{"cmd", "reply"}, {"code", MT_GET_CONTACTS_MSG}, {"mode", "delay"}, {"delay_ms", 200}});
  EXPECT_TRUE(run(parlo_->async_send_sync(MT_GET_CONTACTS_MSG, Json(), 0.01)).is_null());
  EXPECT_EQ(parlo_->pending_requests(), 1u);
  ASSERT_TRUE(wait_until([&] { return parlo_->pending_requests() == 0u; }));
  for (const auto& e : events()) EXPECT_NE(e["type"], MT_GET_CONTACTS_MSG) << e.dump();

  parlo_->set_awaiting_limit(3);
  sim_.ok({{"cmd", "reply"}, {"code", 0}, {"mode", "drop"}});
  sim_.ok({{"cmd", "clear_sent"}});
  std::vector<std::future<Json>> waits;
  for (int i = 0; i < 3; ++i)  // no limit: only the quit ends them
    waits.push_back(start(parlo_->async_send_sync(MT_GET_SELF_MSG, Json(), std::nullopt)));
  ASSERT_TRUE(wait_until([&] { return parlo_->awaiting_requests() == 3u; }));
  try {
    run(parlo_->async_send_sync(MT_GET_SELF_MSG, Json(), std::nullopt));
    ADD_FAILURE() << "a fourth awaited request was accepted";
  } catch (const ParloRuntimeError& e) {
    EXPECT_STREQ(e.what(), "too many requests awaiting the client's reply (limit 3)");
  }
  EXPECT_EQ(sim_.sent().size(), 3u) << "the refused request was sent";

  sim_.ok({{"cmd", "quit"}});
  for (auto& w : waits) {
    ASSERT_EQ(w.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(w.get().is_null());
  }
  EXPECT_EQ(parlo_->awaiting_requests(), 0u);
  EXPECT_EQ(parlo_->pending_requests(), 0u);
  EXPECT_THROW(run(parlo_->async_send_sync(MT_GET_SELF_MSG, Json(), 1.0)), ParloNotLoginError);
  EXPECT_EQ(parlo_->awaiting_requests(), 0u);
  EXPECT_EQ(parlo_->pending_requests(), 0u);
}

TEST_F(Binding, AwaitedLoginWaitWritesTheWaitLineAndHoldsNoThread) {
  sim_.ok({{"cmd", "auto_login"}, {"enabled", false}});
  EXPECT_FALSE(run(parlo_->async_wait_login(0.0)));
  EXPECT_FALSE(run(parlo_->async_wait_login(-1.0)));
  EXPECT_TRUE(logs_->contains("ParloInstance | wait login..."));
  // Several unlimited waits on the loop's one thread: each holds nothing.
  std::vector<std::future<bool>> waits;
  for (int i = 0; i < 3; ++i) waits.push_back(start(parlo_->async_wait_login(std::nullopt)));
  waits.push_back(start(parlo_->async_wait_login(1e300)));
  ASSERT_TRUE(parlo_->open());
  ASSERT_TRUE(wait_until([&] { return parlo_->status(); }));
  sim_.ok({{"cmd", "login"}, {"uid", "uid_first"}, {"nickname", "First"}});
  for (auto& w : waits) {
    ASSERT_EQ(w.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(w.get());
  }
}

}  // namespace
}  // namespace corvid::core
