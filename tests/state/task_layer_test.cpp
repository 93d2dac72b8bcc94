#include "app/state/task_layer.hpp"

#include <gtest/gtest.h>

#include <latch>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/process/cancellation_error.hpp"
#include "tests/state/state_test_support.hpp"

namespace tarnel {
namespace {

using testing::runEventsUntil;
using testing::runPostedEvents;
using testing::VirtualSleeper;

class TaskLayerTest : public ::testing::Test {
protected:
    TaskLayerTest() { testing::testApplication(); }

    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(100.0);
    std::shared_ptr<VirtualSleeper> sleeper = std::make_shared<VirtualSleeper>(clock);
    std::shared_ptr<QThreadPool> pool = makeTaskPool();
    TaskHost host{pool, sleeper};
};

// How a body's sleep ended.
enum class Ending { none, elapsed, cancelled };

TEST_F(TaskLayerTest, ReplacingATaskStartsTheNewOneOnALaterTurnAndCancelsTheSleepingOneThere) {
    TaskSlot slot;
    Ending first = Ending::none;
    sleeper->hold();
    host.replace(slot, [&](std::stop_token stop) -> QCoro::Task<> {
        try {
            co_await host.sleep(30.0, stop);
            first = Ending::elapsed;
        } catch (const CancellationError&) {
            first = Ending::cancelled;
        }
    });
    ASSERT_TRUE(runEventsUntil([&] { return sleeper->sleeps().size() == 1; }));
    EXPECT_EQ(clock->uptime(), 130.0);

    std::vector<bool> secondRan;
    host.replace(slot, [&](std::stop_token stop) -> QCoro::Task<> {
        secondRan.push_back(stop.stop_requested());
        co_return;
    });
    // Neither the new body nor the old one's cancellation ran inside the call.
    EXPECT_TRUE(secondRan.empty());
    EXPECT_EQ(first, Ending::none);
    runPostedEvents();
    EXPECT_EQ(first, Ending::cancelled);
    EXPECT_EQ(secondRan, std::vector<bool>{false});
    EXPECT_TRUE(slot.isFinished());

    // A task replaced before its turn still runs, its token stopped; its
    // sleeps end at once, without reaching the sleeper.
    std::vector<std::string> runs;
    const auto recordingBody = [&](std::string name) {
        return [&runs, &host = host, name](std::stop_token stop) -> QCoro::Task<> {
            try {
                co_await host.sleep(5.0, stop);
                runs.push_back(name + " slept");
            } catch (const CancellationError&) {
                runs.push_back(name + " cancelled");
            }
        };
    };
    host.replace(slot, recordingBody("early"));
    host.replace(slot, recordingBody("late"));
    ASSERT_TRUE(runEventsUntil([&] { return runs.size() == 1; }));
    EXPECT_EQ(runs, std::vector<std::string>{"early cancelled"});
    sleeper->wakeAll();
    ASSERT_TRUE(runEventsUntil([&] { return runs.size() == 2; }));
    EXPECT_EQ(runs, (std::vector<std::string>{"early cancelled", "late slept"}));
    EXPECT_EQ(sleeper->sleeps(), (std::vector<double>{30.0, 5.0}));
}

TEST_F(TaskLayerTest, AnUnheldSleepEndsOnALaterTurnInVirtualTime) {
    std::vector<double> wokenAt;
    host.start([&](std::stop_token stop) -> QCoro::Task<> {
        for (const double seconds : {0.25, 0.5}) {
            co_await host.sleep(seconds, stop);
            wokenAt.push_back(clock->uptime());
        }
    });
    ASSERT_TRUE(runEventsUntil([&] { return wokenAt.size() == 2; }));
    EXPECT_EQ(wokenAt, (std::vector<double>{100.25, 100.75}));
}

TEST_F(TaskLayerTest, PoolCallsRunOffTheMainThreadAndBringBackTheirResultOrTheirExceptionWithItsType) {
    const auto mainThread = std::this_thread::get_id();
    std::thread::id workThread;
    std::vector<std::string> outcomes;
    host.start([&](std::stop_token) -> QCoro::Task<> {
        const int answer = co_await host.onPool([&] {
            workThread = std::this_thread::get_id();
            return 42;
        });
        outcomes.push_back(std::to_string(answer));
        try {
            co_await host.onPool([] { throw CancellationError{}; });
        } catch (const CancellationError& error) {
            outcomes.push_back(error.message());
        }
        try {
            static_cast<void>(co_await host.onPool([]() -> std::string { throw std::out_of_range("range"); }));
        } catch (const std::out_of_range& error) {
            outcomes.push_back(error.what());
        }
        outcomes.push_back(std::this_thread::get_id() == mainThread ? "main" : "elsewhere");
    });
    ASSERT_TRUE(runEventsUntil([&] { return outcomes.size() == 4; }));
    EXPECT_EQ(outcomes, (std::vector<std::string>{"42", "The operation was cancelled.", "range", "main"}));
    EXPECT_NE(workThread, mainThread);
}

TEST_F(TaskLayerTest, EightPoolCallsThatWaitForEachOtherAllFinish) {
    std::latch allStarted(8);
    int finished = 0;
    for (int call = 0; call < 8; ++call) {
        host.start([&](std::stop_token) -> QCoro::Task<> {
            co_await host.onPool([&] { allStarted.arrive_and_wait(); });
            ++finished;
        });
    }
    ASSERT_TRUE(runEventsUntil([&] { return finished == 8; }));
}

TEST_F(TaskLayerTest, AStopEndsASleepOnALaterTurnAndAStoppedTokenEndsItAtOnce) {
    std::stop_source stop;
    std::vector<std::string> endings;
    sleeper->hold();
    host.start([&](std::stop_token) -> QCoro::Task<> {
        for (int sleep = 0; sleep < 2; ++sleep) {
            try {
                co_await host.sleep(10.0, stop.get_token());
                endings.push_back("elapsed");
            } catch (const CancellationError&) {
                endings.push_back("cancelled");
            }
        }
    });
    ASSERT_TRUE(runEventsUntil([&] { return sleeper->sleeps().size() == 1; }));
    stop.request_stop();
    EXPECT_TRUE(endings.empty());
    ASSERT_TRUE(runEventsUntil([&] { return endings.size() == 2; }));
    EXPECT_EQ(endings, (std::vector<std::string>{"cancelled", "cancelled"}));
    EXPECT_EQ(sleeper->sleeps().size(), 1U);
}

TEST_F(TaskLayerTest, AWaitForAStopEndsOnlyByThatStopOrTheHostsAbandonment) {
    std::stop_source event;
    std::vector<std::string> endings;
    const auto waiting = [&](std::string name) {
        return [&, name](std::stop_token) -> QCoro::Task<> {
            try {
                co_await host.waitForStop(event.get_token());
                endings.push_back(name + " elapsed");
            } catch (const CancellationError&) {
                endings.push_back(name + " woken");
            }
        };
    };
    host.start(waiting("first"));
    runPostedEvents();
    // Virtual time never ends it, and the sleeper never sees it.
    EXPECT_TRUE(endings.empty());
    EXPECT_TRUE(sleeper->sleeps().empty());
    event.request_stop();
    ASSERT_TRUE(runEventsUntil([&] { return endings.size() == 1; }));

    event = std::stop_source();
    host.start(waiting("second"));
    runPostedEvents();
    host.abandon();
    runPostedEvents();
    EXPECT_EQ(endings, std::vector<std::string>{"first woken"});
}

TEST_F(TaskLayerTest, AnAbandonedHostRunsNoBodyThatHadNotHadItsTurn) {
    bool ran = false;
    TaskSlot slot;
    host.replace(slot, [&](std::stop_token) -> QCoro::Task<> {
        ran = true;
        co_return;
    });
    host.abandon();
    runPostedEvents();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(slot.isFinished());
}

TEST(QtTimerSleeperTest, WakesOnceItsTimeHasPassedAndNeverOnceItsTicketIsGone) {
    testing::testApplication();
    QtTimerSleeper sleeper;
    bool woken = false;
    bool cancelledWoken = false;
    const auto start = std::chrono::steady_clock::now();
    auto ticket = sleeper.schedule(0.05, [&] { woken = true; });
    sleeper.schedule(0.01, [&] { cancelledWoken = true; }).reset();
    ASSERT_TRUE(runEventsUntil([&] { return woken; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    runPostedEvents();
    EXPECT_FALSE(cancelledWoken);
}

}  // namespace
}  // namespace tarnel
