// Event delivery through the real corvid binary and the real simulated client, driven over the
// client's control socket and read by peers straight from the socket:
// - bursts (a table of one shape): each full-speed reader gets every event in order at its own
//   pace whatever a paced reader beside it does; the paced one is cut with the figure once its
//   backlog is past the budget; peak memory stays within the start plus the budget plus a
//   margin, and goes back once the backlog has drained;
// - a 100,000-event burst reaches the reader whole while a peer that never reads is cut (with one
//   loop thread and with the default);
// - a slow steady reader of a large frame is never cut, one that stops is, after the stall
//   timeout;
// - connections that come and go during a burst each get the welcome first and an unbroken run
//   from their registration on;
// - a second account's events go out while the first account's backlog is still held.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/websocket/raw_peer.hpp"
#include "app/websocket/ws_binary_fixture.hpp"
#include "support/wait.hpp"

namespace corvid::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::uint64_t kDefaultBudget = 64 * kMiB;
// What the process takes beyond the frames it holds during a burst: the event being parsed and
// written by the probe's thread and the relay (a large event several times over), the writers'
// batches, the log lines, the allocator's slack.
constexpr long kMarginKib = 48 * 1024;
// Near its start again once a backlog drained.
constexpr long kBackKib = 16 * 1024;

// A reader at about 1 MB/s: a small socket buffer, so the server's writes wait for it.
constexpr std::uint64_t kSlowPace = 1'000'000;
constexpr int kSmallBuffer = 16 * 1024;

struct BurstCase {
  const char* id;  // the test's name
  const char* name;
  std::uint64_t budget;  // server.ws_budget; 0 = the default
  int events;
  int size;            // about this many bytes an event
  bool slow_beside;    // a reader at kSlowPace beside the full-speed one
  bool compare_alone;  // the full-speed reader's time is also taken without the slow one
};

std::ostream& operator<<(std::ostream& out, const BurstCase& c) { return out << c.name; }

// One full-speed reader (and perhaps a slow one beside it) through a whole burst: how long the
// full-speed one took, and what the slow one saw.
struct BurstRun {
  Clock::duration fast_took{};
  RawPeer::Seen fast;
  RawPeer::Seen slow;
};

class Bursts : public ::testing::TestWithParam<BurstCase> {
 protected:
  BurstRun run(Corvid& corvid, const BurstCase& c, bool with_slow, int first_seq_expected = 0) {
    BurstRun out;
    RawPeer fast(corvid.port(), corvid.key(), kUid);
    std::unique_ptr<RawPeer> slow;
    if (with_slow)
      slow = std::make_unique<RawPeer>(corvid.port(), corvid.key(), kUid, kSmallBuffer);
    EXPECT_TRUE(fast.accepted() && (!slow || slow->accepted()));
    EXPECT_TRUE(wait_until([&] { return corvid.connections() == (with_slow ? 2 : 1); }, 10s));
    const int events = c.events / kScale;
    fast.start({.want = events});
    // Slower still under a sanitizer, where the whole burst comes slower: what the kernel's
    // buffers take for it must not keep its backlog within the scaled-down budget.
    if (slow) slow->start({.pace = kSlowPace / kScale});
    const auto started = Clock::now();
    EXPECT_TRUE(corvid.inject(events, c.size));
    EXPECT_TRUE(fast.wait(std::chrono::seconds(120))) << "the full-speed reader never finished";
    out.fast_took = Clock::now() - started;
    out.fast = fast.seen();
    if (slow) out.slow = slow->seen();
    EXPECT_TRUE(out.fast.welcome_first);
    EXPECT_EQ(out.fast.events, events) << "lost frames";
    EXPECT_TRUE(out.fast.unbroken) << "lost or reordered frames";
    EXPECT_EQ(out.fast.first_seq, first_seq_expected);
    EXPECT_FALSE(out.fast.ended) << "the full-speed reader was cut\n"
                                 << corvid.lines_with("发送消息失败");
    return out;
  }
};

TEST_P(Bursts, EveryFullSpeedReaderTakesTheBurstAtItsOwnPaceWithinTheBudget) {
  const BurstCase& c = GetParam();
  // A scaled-down burst gets a budget scaled down with it, so it still holds the same number
  // of events.
  const std::uint64_t budget = std::max(kMiB, (c.budget ? c.budget : kDefaultBudget) / kScale);
  Json settings = Json::object();
  if (c.budget || kScale > 1) settings["ws_budget"] = budget;
  Corvid corvid(0, settings);
  ASSERT_TRUE(corvid.start()) << corvid.output();

  Clock::duration alone{};
  if (c.compare_alone) {
    // The same burst to the full-speed reader alone first: the pace it reads at by itself.
    alone = run(corvid, c, false).fast_took;
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(wait_until([&] { return corvid.connections() == 0; }, 10s));
  }
  // The burst itself, measured from here: the memory of the process as it stands, its peak
  // reset.
  ASSERT_TRUE(wait_until([&] { return corvid.rss_kib() > 0; }, 1s));
  std::this_thread::sleep_for(1500ms);  // lets the allocator give back what a first run left
  const long start_kib = corvid.rss_kib();
  corvid.reset_peak();
  const BurstRun burst = run(corvid, c, c.slow_beside, 0);
  const long peak_kib = corvid.peak_kib();
  std::cout << c.name << ": the full-speed reader took "
            << std::chrono::duration_cast<std::chrono::milliseconds>(burst.fast_took).count()
            << " ms; RSS " << start_kib / 1024 << " MiB at the start, peak " << peak_kib / 1024
            << " MiB\n";

  if (c.slow_beside) {
    // Cut once past the budget, with its figure; never waited for.
    EXPECT_TRUE(wait_until([&] { return corvid.connections() == 0; }, 30s));
    EXPECT_TRUE(corvid.logged(std::string("向用户 ") + kUid + " 发送消息失败: lagging "))
        << corvid.lines_with("发送消息失败");
    EXPECT_LT(burst.slow.events, c.events / kScale);
  }
  if (c.compare_alone) {
    // Not slowed by the one beside it: within a small factor of its pace alone.
    EXPECT_LT(burst.fast_took, 3 * alone + 3s)
        << "alone " << std::chrono::duration_cast<std::chrono::milliseconds>(alone).count()
        << " ms";
  }
  if (!kSanitized) {
    EXPECT_LT(peak_kib, start_kib + static_cast<long>(budget / 1024) + kMarginKib);
    // Once the backlog has drained, the memory it took goes back (after the allocator's quiet
    // second).
    EXPECT_TRUE(wait_until([&] { return corvid.rss_kib() < start_kib + kBackKib; }, 10s))
        << "RSS " << corvid.rss_kib() / 1024 << " MiB, " << start_kib / 1024 << " MiB at the start";
  }
}

const BurstCase kBursts[] = {
    {"LargeEvents", "48 events of 2.2 MB to one reader at full speed", 0, 48, 2'200'000, false,
     false},
    {"FastBesideSlow", "80,000 events of 1 KB, full speed beside 1 MB/s", 16 * kMiB, 80'000, 1'000,
     true, true},
    {"FourHundredMegabytes", "400 MB in events of 100 KB, full speed beside 1 MB/s", 0, 4'000,
     100'000, true, false},
};

INSTANTIATE_TEST_SUITE_P(Delivery, Bursts, ::testing::ValuesIn(kBursts),
                         [](const auto& info) { return std::string(info.param.id); });

class LoopThreads : public ::testing::TestWithParam<int> {};

TEST_P(LoopThreads, ABurstReachesTheReaderWholeWhileAPeerThatNeverReadsIsCut) {
  Corvid corvid(GetParam());
  ASSERT_TRUE(corvid.start()) << corvid.output();
  RawPeer stalled(corvid.port(), corvid.key(), kUid, 4096);
  RawPeer reader(corvid.port(), corvid.key(), kUid);
  ASSERT_TRUE(stalled.accepted() && reader.accepted());
  ASSERT_TRUE(wait_until([&] { return corvid.connections() == 2; }, 10s));

  // About 1 KB per frame: the burst is more than the budget, so the peer that never reads falls
  // past it, while the reader keeps up.
  const int events = 100'000 / kScale;
  reader.start({.want = events + 1});
  corvid.reset_peak();
  ASSERT_TRUE(corvid.inject(events, 1000));
  ASSERT_TRUE(
      wait_until([&] { return reader.seen().events >= events || reader.seen().ended; }, 120s))
      << "the reader never finished";
  EXPECT_EQ(reader.seen().events, events);
  EXPECT_TRUE(reader.seen().unbroken) << "lost or out of order";
  EXPECT_FALSE(reader.seen().ended) << corvid.lines_with("发送消息失败");
  if (kScale == 1) {
    EXPECT_TRUE(wait_until([&] { return corvid.connections() == 1; }, 60s));
    EXPECT_TRUE(corvid.logged(std::string("向用户 ") + kUid + " 发送消息失败: lagging ") ||
                corvid.logged(std::string("向用户 ") + kUid + " 发送消息失败: no byte taken"));
  }
  EXPECT_FALSE(corvid.logged("outbound queue full"));

  // The reader is still served (a new burst's seq starts at 0 again), and the peak stayed
  // within the bound.
  ASSERT_TRUE(corvid.inject(1, 0, "after"));
  EXPECT_TRUE(reader.wait(10s));
  EXPECT_EQ(reader.seen().events, events + 1);
  EXPECT_EQ(reader.seen().last_seq, 0);
  if (!kSanitized) {
    const long peak = corvid.peak_kib();
    EXPECT_LT(peak, 256 * 1024) << "peak RSS " << peak << " KiB";
  }
}

INSTANTIATE_TEST_SUITE_P(Delivery, LoopThreads, ::testing::Values(1, 0), [](const auto& info) {
  return info.param == 0 ? std::string("Default") : std::string("One");
});

// A frame several times what the socket buffers hold, read slowly but steadily, takes many
// stall timeouts to write and is never cut; a peer that stops reading in the middle of it is
// cut one stall timeout later, with the figure.
TEST(StallTimeout, ASteadyReaderOfALargeFrameIsKeptOneThatStopsIsCut) {
  Corvid corvid(0, Json{{"ws_stall_timeout", 2}});
  ASSERT_TRUE(corvid.start()) << corvid.output();
  RawPeer steady(corvid.port(), corvid.key(), kUid, kSmallBuffer);
  RawPeer stops(corvid.port(), corvid.key(), kUid, kSmallBuffer);
  ASSERT_TRUE(steady.accepted() && stops.accepted());
  ASSERT_TRUE(wait_until([&] { return corvid.connections() == 2; }, 10s));
  constexpr int kFrameBytes = 3'000'000;
  // About 300 KB/s: ten seconds for the frame, five stall timeouts.
  steady.start({.pace = 300'000, .want = 1});
  stops.start({.stop_after_bytes = 256 << 10});
  const auto started = Clock::now();
  ASSERT_TRUE(corvid.inject(1, kFrameBytes));

  EXPECT_TRUE(wait_until([&] { return corvid.connections() == 1; }, 20s))
      << corvid.lines_with("发送消息失败");
  EXPECT_TRUE(corvid.logged(std::string("向用户 ") + kUid + " 发送消息失败: no byte taken for "))
      << corvid.lines_with("发送消息失败");
  ASSERT_TRUE(steady.wait(60s));
  const auto took = Clock::now() - started;
  const auto seen = steady.seen();
  EXPECT_EQ(seen.events, 1);
  EXPECT_FALSE(seen.ended);
  EXPECT_GT(took, 4s) << "the frame went faster than its reader reads: nothing was tested";
  EXPECT_EQ(corvid.connections(), 1);
}

// Peers come and go while a burst is relayed: each gets the welcome first and then an unbroken
// run of the burst from where it joined; none is dropped, silently or not.
TEST(Registration, ConnectionsThatComeAndGoDuringABurstEachGetAnUnbrokenRun) {
  Corvid corvid;
  ASSERT_TRUE(corvid.start()) << corvid.output();
  // Scaled down less than the other bursts: it has to outlast many handshakes.
  const int events = 100'000 / std::min(kScale, 4);
  RawPeer steady(corvid.port(), corvid.key(), kUid);
  ASSERT_TRUE(steady.accepted());
  steady.start({.want = events});
  ASSERT_TRUE(wait_until([&] { return corvid.connections() == 1; }, 10s));
  ASSERT_TRUE(corvid.inject(events, 500));

  struct Outcome {
    RawPeer::Seen seen;
    bool accepted = false;
  };
  std::vector<std::vector<Outcome>> outcomes(4);
  std::vector<std::thread> churners;
  std::atomic<bool> burst_over{false};
  for (std::size_t t = 0; t < outcomes.size(); ++t) {
    churners.emplace_back([&, t] {
      for (int round = 0; !burst_over.load() && round < 200; ++round) {
        RawPeer peer(corvid.port(), corvid.key(), kUid);
        Outcome outcome;
        outcome.accepted = peer.accepted();
        // Each reads a few hundred events (or what is left of the burst), then closes in one
        // of two ways.
        peer.start({.want = 100 + 97 * ((round + static_cast<int>(t)) % 7)});
        while (!peer.wait(50ms) && !burst_over.load()) {
        }
        if (round % 2 == 0) peer.send_close(1000);
        outcome.seen = peer.seen();
        outcomes[t].push_back(outcome);
      }  // the peer's socket goes here: after the close frame, or without one
    });
  }
  ASSERT_TRUE(steady.wait(120s));
  burst_over.store(true);
  for (auto& t : churners) t.join();

  const auto whole = steady.seen();
  EXPECT_EQ(whole.events, events);
  EXPECT_TRUE(whole.unbroken);
  int joined_mid_burst = 0;
  for (const auto& list : outcomes) {
    for (const auto& o : list) {
      ASSERT_TRUE(o.accepted);
      // A peer that registered just as the burst ended may have had no frame yet when it was
      // looked at; one that had any must have had the welcome first.
      EXPECT_TRUE(!o.seen.first_frame || o.seen.welcome_first);
      EXPECT_TRUE(o.seen.unbroken) << "a run from " << o.seen.first_seq << " broke";
      EXPECT_FALSE(o.seen.ended) << "dropped by the server\n" << corvid.lines_with("发送消息失败");
      if (o.seen.first_seq > 0) ++joined_mid_burst;
    }
  }
  EXPECT_GT(joined_mid_burst, 0) << "no peer joined during the burst: nothing was tested";
  EXPECT_FALSE(corvid.logged("lagging")) << corvid.lines_with("发送消息失败");
  EXPECT_FALSE(corvid.logged("is no longer in its log"));
}

// The first account's slow reader holds a backlog of many seconds; the second account, logged
// in meanwhile, gets its events at once.
TEST(Accounts, ASecondAccountsEventsDoNotWaitForTheFirstAccountsBacklog) {
  Corvid corvid;
  ASSERT_TRUE(corvid.start()) << corvid.output();
  RawPeer slow(corvid.port(), corvid.key(), kUid, kSmallBuffer);
  ASSERT_TRUE(slow.accepted());
  ASSERT_TRUE(wait_until([&] { return corvid.connections() == 1; }, 10s));
  // 40 MB: within the budget, so nobody is cut, and about 40 s of reading at 1 MB/s (scaled
  // down under a sanitizer, the pace with it).
  constexpr int kBacklogEvents = 400 / kScale;
  slow.start({.pace = kSlowPace / kScale, .want = kBacklogEvents});
  // In two injections of 200: the simulated client emits up to 256 of one injection in a step,
  // so both are out before the login that follows (events after it go to the second account).
  ASSERT_TRUE(corvid.inject(kBacklogEvents / 2, 100'000, "first"));
  ASSERT_TRUE(corvid.inject(kBacklogEvents / 2, 100'000, "first"));

  ASSERT_TRUE(corvid.control()
                  .command({{"cmd", "login"}, {"uid", "uid_second"}, {"nickname", "Second"}})
                  .value("ok", false));
  ASSERT_TRUE(corvid.current_uid_is("uid_second", Clock::now() + 30s));
  RawPeer second(corvid.port(), corvid.key(), "uid_second");
  ASSERT_TRUE(second.accepted());
  ASSERT_TRUE(wait_until([&] { return corvid.connections() == 2; }, 10s));  // registered
  constexpr int kEvents = 500;
  second.start({.want = kEvents});
  const auto started = Clock::now();
  ASSERT_TRUE(corvid.inject(kEvents, 200, "second"));
  ASSERT_TRUE(second.wait(30s)) << second.seen().events << " events";
  const auto took = Clock::now() - started;
  const auto got = second.seen();
  EXPECT_EQ(got.events, kEvents);
  EXPECT_TRUE(got.unbroken);
  // The first account's backlog is still being read: the second's did not wait for it.
  const auto first = slow.seen();
  EXPECT_LT(first.events, kBacklogEvents)
      << "the second account's events took "
      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
      << " ms, as long as the first account's backlog";
  EXPECT_FALSE(first.ended);
}

}  // namespace
}  // namespace corvid::test
