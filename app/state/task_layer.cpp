#include "app/state/task_layer.hpp"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <QtGlobal>
#include <openssl/crypto.h>

#include <algorithm>
#include <cmath>
#include <latch>
#include <limits>

#include "common/base/error.hpp"
#include "common/process/cancellation_error.hpp"

namespace tarnel {

void postToMainThread(std::function<void()> work) {
    QCoreApplication* const application = QCoreApplication::instance();
    Q_ASSERT(application != nullptr);
    QMetaObject::invokeMethod(application, std::move(work), Qt::QueuedConnection);
}

namespace {

// Whole milliseconds, rounded up so that a sleep never ends early; within
// the timer's range.
int timerMilliseconds(double seconds) {
    if (!(seconds > 0.0)) return 0;
    const double milliseconds = std::ceil(seconds * 1000.0);
    return milliseconds >= std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                           : static_cast<int>(milliseconds);
}

class TimerTicket final : public TaskSleeper::Ticket {
public:
    TimerTicket(double seconds, std::function<void()> wake) : timer_(new QTimer) {
        timer_->setSingleShot(true);
        timer_->setTimerType(Qt::PreciseTimer);
        timer_->setInterval(timerMilliseconds(seconds));
        QObject::connect(timer_, &QTimer::timeout, timer_, std::move(wake));
        timer_->start();
    }
    ~TimerTicket() override {
        // The ticket may end inside the timer's own signal: the timer goes
        // on a later turn.
        timer_->stop();
        timer_->disconnect();
        timer_->deleteLater();
    }
    TimerTicket(const TimerTicket&) = delete;
    TimerTicket& operator=(const TimerTicket&) = delete;

private:
    QTimer* timer_;
};

constexpr int kMinimumTaskPoolThreads = 8;

}  // namespace

std::unique_ptr<TaskSleeper::Ticket> QtTimerSleeper::schedule(double seconds, std::function<void()> wake) {
    return std::make_unique<TimerTicket>(seconds, std::move(wake));
}

std::shared_ptr<QThreadPool> makeTaskPool() {
    auto pool = std::make_shared<QThreadPool>();
    pool->setMaxThreadCount(std::max(kMinimumTaskPoolThreads, QThread::idealThreadCount()));
    return pool;
}

void releaseTaskPoolThreadState(QThreadPool& pool) {
    const int threads = pool.maxThreadCount();
    std::latch together(threads);
    for (int thread = 0; thread < threads; ++thread) {
        pool.start([&together] {
            together.arrive_and_wait();
            OPENSSL_thread_stop();
        });
    }
    pool.waitForDone();
}

namespace detail {

struct SleepWaiter {
    enum class Outcome { pending, elapsed, stopped };

    std::coroutine_handle<> awaiting;
    Outcome outcome = Outcome::pending;
    std::unique_ptr<TaskSleeper::Ticket> wakeUp;
    std::optional<std::stop_callback<std::function<void()>>> onStop;

    // The first ending counts; the caller holds the waiter, which the
    // resumed task may drop.
    void finish(Outcome result) {
        if (outcome != Outcome::pending) return;
        outcome = result;
        wakeUp.reset();
        onStop.reset();
        awaiting.resume();
    }

    static void finish(const std::weak_ptr<SleepWaiter>& waiter, Outcome result) {
        if (const auto held = waiter.lock()) held->finish(result);
    }
};

}  // namespace detail

using detail::SleepWaiter;

SleepCall::SleepCall(std::shared_ptr<detail::TaskControl> control, std::shared_ptr<TaskSleeper> sleeper,
                     double seconds, std::stop_token stop)
    : control_(std::move(control)),
      sleeper_(std::move(sleeper)),
      seconds_(seconds),
      stop_(std::move(stop)),
      waiter_(std::make_shared<SleepWaiter>()) {}

bool SleepCall::await_ready() const noexcept { return control_->abandoned || stop_.stop_requested(); }

void SleepCall::await_suspend(std::coroutine_handle<> awaiting) {
    waiter_->awaiting = awaiting;
    auto& sleeps = control_->sleeps;
    std::erase_if(sleeps, [](const std::weak_ptr<SleepWaiter>& sleep) { return sleep.expired(); });
    sleeps.push_back(waiter_);

    const std::weak_ptr<SleepWaiter> waiter = waiter_;
    if (std::isfinite(seconds_)) {
        waiter_->wakeUp =
            sleeper_->schedule(seconds_, [waiter] { SleepWaiter::finish(waiter, SleepWaiter::Outcome::elapsed); });
    }
    // A stop ends the sleep on a later turn, never inside request_stop.
    waiter_->onStop.emplace(stop_, [waiter] {
        postToMainThread([waiter] { SleepWaiter::finish(waiter, SleepWaiter::Outcome::stopped); });
    });
}

void SleepCall::await_resume() const {
    if (control_->abandoned) throw TaskAbandoned{};
    if (waiter_->outcome != SleepWaiter::Outcome::elapsed) throw CancellationError{};
}

void NextTurn::await_suspend(std::coroutine_handle<> awaiting) {
    postToMainThread([awaiting] { awaiting.resume(); });
}

void NextTurn::await_resume() const {
    if (control_->abandoned) throw TaskAbandoned{};
}

namespace {

// One task: its turn, then its body, then its end. It holds only what it
// shares with its host, never the host itself.
QCoro::Task<> launch(std::shared_ptr<detail::TaskControl> control, TaskHost::Body body, std::stop_source stop) {
    const std::uint64_t id = control->nextTaskID++;
    control->runningTasks.emplace(id, stop);
    try {
        co_await NextTurn(control);
        co_await body(stop.get_token());
    } catch (const TaskAbandoned&) {
    } catch (const CancellationError&) {
    } catch (const std::exception& error) {
        qWarning("A task ended with an error it did not handle: %s", errorMessage(error).c_str());
    } catch (...) {
        qWarning("A task ended with an error it did not handle.");
    }
    control->runningTasks.erase(id);
}

}  // namespace

TaskHost::TaskHost(std::shared_ptr<QThreadPool> pool, std::shared_ptr<TaskSleeper> sleeper)
    : control_(std::make_shared<detail::TaskControl>()), pool_(std::move(pool)), sleeper_(std::move(sleeper)) {}

TaskHost::~TaskHost() { abandon(); }

void TaskHost::replace(TaskSlot& slot, Body body) {
    slot.stop_.request_stop();
    std::stop_source stop;
    slot.stop_ = stop;
    slot.task_ = launch(control_, std::move(body), std::move(stop));
}

void TaskHost::start(Body body) { static_cast<void>(launch(control_, std::move(body), std::stop_source())); }

SleepCall TaskHost::sleep(double seconds, std::stop_token stop) const {
    return SleepCall(control_, sleeper_, seconds, std::move(stop));
}

SleepCall TaskHost::waitForStop(std::stop_token stop) const {
    return SleepCall(control_, sleeper_, std::numeric_limits<double>::infinity(), std::move(stop));
}

void TaskHost::abandon() {
    if (control_->abandoned) return;
    control_->abandoned = true;
    for (auto& [id, stop] : std::exchange(control_->runningTasks, {})) stop.request_stop();
    // Sleeps on tokens of their own end too.
    for (const auto& sleep : std::exchange(control_->sleeps, {})) {
        postToMainThread([sleep] { SleepWaiter::finish(sleep, SleepWaiter::Outcome::stopped); });
    }
}

bool TaskHost::isAbandoned() const noexcept { return control_->abandoned; }

}  // namespace tarnel
