#include "app/state/route_test_compatibility_session.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/process/cancellation_error.hpp"
#include "common/process/runtime_error.hpp"
#include "tests/state/state_test_support.hpp"
#include "tests/support/test_support.hpp"

namespace tarnel {
namespace {

using Session = RouteTestCompatibilitySession;
using Snapshot = std::optional<std::string>;
using testing::Handover;

const Uuid kFirst = *Uuid::parse("00000000-0000-4000-8000-000000000001");
const Uuid kSecond = *Uuid::parse("00000000-0000-4000-8000-000000000002");

// One `begin` as it ends: "pending" until then, "done", "cancelled" or the
// message of its error.
struct Begin {
    std::string outcome = "pending";
};

QCoro::Task<> drive(Session& session, Uuid sessionID, Session::Loader loader, std::stop_token stop, Begin& begin) {
    try {
        co_await session.begin(sessionID, std::move(loader), std::move(stop));
        begin.outcome = "done";
    } catch (const CancellationError&) {
        begin.outcome = "cancelled";
    } catch (const std::exception& error) {
        begin.outcome = errorMessage(error);
    }
}

class RouteTestCompatibilitySessionTest : public ::testing::Test {
protected:
    // A loader whose result the test hands over; it counts its runs.
    Session::Loader loader() {
        return [this]() -> QCoro::Task<Snapshot> {
            ++loads;
            co_return co_await handover.value();
        };
    }
    std::string snapshotOf(const Uuid& sessionID, std::stop_token stop = {}) {
        try {
            const Snapshot snapshot = session.snapshot(sessionID, stop);
            return snapshot ? *snapshot : "none";
        } catch (const CancellationError&) {
            return "cancelled";
        }
    }
    [[nodiscard]] bool isClosed() const {
        return !session.sessionID() && session.state() == Session::State{Session::Empty{}};
    }

    Session session;
    Handover<Snapshot> handover;
    int loads = 0;
};

TEST_F(RouteTestCompatibilitySessionTest, OneLoadPerSessionAndTheSnapshotIsReadOnlyOnceReady) {
    session.open(kFirst);
    EXPECT_EQ(snapshotOf(kFirst), "cancelled");
    EXPECT_EQ(session.sessionID(), kFirst);

    Begin first;
    static_cast<void>(drive(session, kFirst, loader(), {}, first));
    EXPECT_EQ(snapshotOf(kFirst), "cancelled");  // loading: never waited for
    handover.give(std::nullopt);
    EXPECT_EQ(first.outcome, "done");
    EXPECT_EQ(session.state(), Session::State{Session::Ready{std::nullopt}});
    EXPECT_EQ(snapshotOf(kFirst), "none");
    EXPECT_EQ(snapshotOf(kSecond), "cancelled");

    Begin again;
    static_cast<void>(drive(session, kFirst, loader(), {}, again));
    EXPECT_EQ(again.outcome, "done");
    EXPECT_EQ(loads, 1);

    // A stopped token fails even a ready snapshot; a stale store changes nothing.
    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(snapshotOf(kFirst, stop.get_token()), "cancelled");
    session.store("bytes", kSecond);
    EXPECT_EQ(snapshotOf(kFirst), "none");
    session.store("bytes", kFirst);
    EXPECT_TRUE(isClosed());
}

TEST_F(RouteTestCompatibilitySessionTest, ASecondBeginDuringTheLoadClosesTheSessionAndTheLoadsEndIsDropped) {
    session.open(kFirst);
    Begin first;
    static_cast<void>(drive(session, kFirst, loader(), {}, first));
    Begin second;
    static_cast<void>(drive(session, kFirst, loader(), {}, second));
    EXPECT_EQ(second.outcome, "cancelled");
    EXPECT_TRUE(isClosed());
    EXPECT_EQ(first.outcome, "pending");

    handover.give("payload");
    EXPECT_EQ(first.outcome, "cancelled");
    EXPECT_TRUE(isClosed());
    EXPECT_EQ(loads, 1);
}

TEST_F(RouteTestCompatibilitySessionTest, ANewSessionOpenedDuringTheLoadKeepsNothingOfIt) {
    session.open(kFirst);
    Begin first;
    static_cast<void>(drive(session, kFirst, loader(), {}, first));
    session.open(kSecond);
    handover.give("payload");
    EXPECT_EQ(first.outcome, "cancelled");
    EXPECT_EQ(session.sessionID(), kSecond);
    EXPECT_EQ(session.state(), Session::State{Session::Empty{}});
}

TEST_F(RouteTestCompatibilitySessionTest, ALoaderErrorOrAStopDuringTheLoadEndsTheSession) {
    session.open(kFirst);
    Begin failed;
    static_cast<void>(drive(session, kFirst, loader(), {}, failed));
    handover.fail(PrivilegedRuntimeError(PrivilegedRuntimeError::Case::tunnelStartupDeadlineExceeded));
    EXPECT_EQ(failed.outcome, "The tunnel startup exceeded its deadline.");
    EXPECT_TRUE(isClosed());

    session.open(kSecond);
    std::stop_source stop;
    Begin stopped;
    static_cast<void>(drive(session, kSecond, loader(), stop.get_token(), stopped));
    stop.request_stop();
    EXPECT_EQ(stopped.outcome, "pending");
    handover.give("payload");
    EXPECT_EQ(stopped.outcome, "cancelled");
    EXPECT_TRUE(isClosed());

    // Stopped, or for another session, before it starts: no load at all.
    session.open(kFirst);
    Begin early;
    static_cast<void>(drive(session, kFirst, loader(), stop.get_token(), early));
    Begin stale;
    static_cast<void>(drive(session, kSecond, loader(), {}, stale));
    EXPECT_EQ(early.outcome, "cancelled");
    EXPECT_EQ(stale.outcome, "cancelled");
    EXPECT_TRUE(isClosed());
    EXPECT_EQ(loads, 2);
}

}  // namespace
}  // namespace tarnel
