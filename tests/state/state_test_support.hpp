#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QCoroTask>
#include <QThreadPool>

#include <chrono>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "app/state/task_layer.hpp"
#include "common/base/clock.hpp"

// What the state tests run on: the process's one application object and its
// event loop, a sleeper in virtual time and results that a test hands over.
namespace tarnel::testing {

// The test process's application object, made on first use (on the main
// thread) and kept for the rest of the process; one that a test program made
// first (the window tests' QApplication) is used as it is.
inline QCoreApplication& testApplication() {
    static int argc = 1;
    static char name[] = "tarnel-state-tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* const application =
        QCoreApplication::instance() != nullptr ? QCoreApplication::instance() : new QCoreApplication(argc, argv);
    return *application;
}

// Runs the event loop until `done()` holds, for at most `limit` of real
// time (a bound for a fault, never reached when the code works); whether it
// held.
inline bool runEventsUntil(const std::function<bool()>& done,
                           std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    testApplication();
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs the turns already due: what is posted now, and what that posts in turn.
inline void runPostedEvents() {
    testApplication();
    for (int turn = 0; turn < 16; ++turn) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Sleeps in virtual time: each sleep is recorded, moves the clock on by its
// length at once and ends on a later turn; a held sleeper keeps its sleeps
// pending until they are woken or cancelled. Sleeps at least as long as the
// parking length stay pending for good, without moving the clock, recorded
// apart: the periodic monitors then wait at their first sleep, out of the
// way of a test that watches something else.
class VirtualSleeper final : public TaskSleeper {
public:
    explicit VirtualSleeper(std::shared_ptr<FakeClock> clock) : clock_(std::move(clock)) {}

    [[nodiscard]] std::unique_ptr<Ticket> schedule(double seconds, std::function<void()> wake) override {
        if (parking_ && seconds >= *parking_) {
            parked_.push_back(seconds);
            return std::make_unique<PendingTicket>(std::make_shared<Pending>(Pending{std::move(wake)}));
        }
        sleeps_.push_back(seconds);
        clock_->advance(seconds);
        auto pending = std::make_shared<Pending>(Pending{std::move(wake)});
        if (holding_) {
            held_.push_back(pending);
        } else {
            postToMainThread([pending] { pending->fire(); });
        }
        return std::make_unique<PendingTicket>(pending);
    }

    // Sleeps from now on stay pending until wakeAll().
    void hold() { holding_ = true; }
    // Ends the held sleeps on a later turn.
    void wakeAll() {
        for (const auto& pending : std::exchange(held_, {})) postToMainThread([pending] { pending->fire(); });
    }
    [[nodiscard]] const std::vector<double>& sleeps() const noexcept { return sleeps_; }
    // Parks every sleep of at least `seconds` from now on.
    void park(double seconds) { parking_ = seconds; }
    [[nodiscard]] const std::vector<double>& parkedSleeps() const noexcept { return parked_; }

private:
    struct Pending {
        std::function<void()> wake;
        bool cancelled = false;
        void fire() {
            if (!cancelled) std::exchange(wake, {})();
        }
    };
    class PendingTicket final : public Ticket {
    public:
        explicit PendingTicket(std::shared_ptr<Pending> pending) : pending_(std::move(pending)) {}
        ~PendingTicket() override { pending_->cancelled = true; }

    private:
        std::shared_ptr<Pending> pending_;
    };

    std::shared_ptr<FakeClock> clock_;
    bool holding_ = false;
    std::optional<double> parking_;
    std::vector<double> sleeps_;
    std::vector<double> parked_;
    std::vector<std::shared_ptr<Pending>> held_;
};

// A value that a test hands to the coroutine awaiting it: `co_await
// handover.value()` suspends until `give` or `fail`, which resume it at once.
template <typename Value>
class Handover {
public:
    struct Awaiter {
        Handover* handover;
        [[nodiscard]] bool await_ready() const noexcept { return handover->outcome_.has_value(); }
        void await_suspend(std::coroutine_handle<> awaiting) { handover->awaiting_ = awaiting; }
        Value await_resume() {
            auto outcome = std::move(*handover->outcome_);
            handover->outcome_.reset();
            if (outcome.failure) std::rethrow_exception(outcome.failure);
            return std::move(*outcome.value);
        }
    };

    [[nodiscard]] Awaiter value() { return Awaiter{this}; }
    [[nodiscard]] bool isAwaited() const noexcept { return static_cast<bool>(awaiting_); }

    void give(Value value) { finish({std::move(value), nullptr}); }
    template <typename Failure>
    void fail(Failure failure) {
        finish({std::nullopt, std::make_exception_ptr(std::move(failure))});
    }

private:
    struct Outcome {
        std::optional<Value> value;
        std::exception_ptr failure;
    };
    void finish(Outcome outcome) {
        outcome_ = std::move(outcome);
        if (auto awaiting = std::exchange(awaiting_, {})) awaiting.resume();
    }

    std::optional<Outcome> outcome_;
    std::coroutine_handle<> awaiting_;
};

}  // namespace tarnel::testing
