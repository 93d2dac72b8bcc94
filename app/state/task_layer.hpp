#pragma once

#include <QThreadPool>
#include <QCoroTask>

#include <coroutine>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>
#include <vector>

// The application's long work, run as coroutines on the main thread's event
// loop. A task is started by a `TaskHost` on a later turn of the loop, never
// inside the call that starts it, with a stop token of its own. It awaits
// blocking calls, which run on the host's thread pool and come back to the
// main thread with their result or their exception, and cancellable sleeps,
// which end early when the task's stop is requested. Once the host is
// abandoned (its owner is being destroyed), every task of it ends at its
// next resumption without running any more of its code.
//
// GCC 12 destroys twice a lambda that captures by copy and is written inside
// the operand of co_await (its coroutine bug with temporaries there): give
// such a call a name first, `auto call = host.onPool([value] {...});
// co_await call;`. Lambdas that capture only references are safe.
namespace tarnel {

// What a task's awaits throw once its host was abandoned: it unwinds the
// task, which touches its owner no more. It is no std::exception, so that no
// handler of a task's own failures catches it. Task code therefore never
// swallows it (no `catch (...)` that does not rethrow), and the destructors
// of a task's locals never touch the owner.
struct TaskAbandoned {};

// Posts `work` to the main thread's event loop: it runs on a later turn.
void postToMainThread(std::function<void()> work);

// Wakes sleeping tasks after a span of time.
class TaskSleeper {
public:
    // A scheduled wake-up; destroying it (on the main thread) cancels it.
    class Ticket {
    public:
        virtual ~Ticket() = default;
    };

    virtual ~TaskSleeper() = default;
    // Calls `wake` on the main thread, on a later turn of its event loop,
    // once `seconds` have passed (at once for zero or less), unless the
    // ticket is destroyed first.
    [[nodiscard]] virtual std::unique_ptr<Ticket> schedule(double seconds, std::function<void()> wake) = 0;
};

// The application's sleeper: a single-shot timer of the main thread.
class QtTimerSleeper final : public TaskSleeper {
public:
    [[nodiscard]] std::unique_ptr<Ticket> schedule(double seconds, std::function<void()> wake) override;
};

// A thread pool for the blocking calls of tasks: at least 8 threads, so
// that helper calls of up to 8 s each overlap instead of queueing.
[[nodiscard]] std::shared_ptr<QThreadPool> makeTaskPool();

// Frees the OpenSSL state of each thread of `pool` (a temporary file's
// random name leaves some) on that thread, and waits for every call of the
// pool to end. A thread frees that state itself only while it ends, after
// the pool has let it go: at the end of a program, now and then after the
// leak check of a sanitizer build. For the end of a program or test.
void releaseTaskPoolThreadState(QThreadPool& pool);

namespace detail {

// What a host's tasks and their awaits share: whether the host is still
// there, the stop sources of its running tasks and its pending sleeps.
struct TaskControl;
struct SleepWaiter;

}  // namespace detail

// Where one kind of task lives: at most one task that has not been
// cancelled. `TaskHost::replace` cancels the task a slot holds and puts a
// new one in.
class TaskSlot {
public:
    TaskSlot() = default;
    TaskSlot(const TaskSlot&) = delete;
    TaskSlot& operator=(const TaskSlot&) = delete;

    // The slot holds a task (running, finished or cancelled) until reset.
    [[nodiscard]] bool isSet() const noexcept { return task_.has_value(); }
    explicit operator bool() const noexcept { return isSet(); }
    // The task it holds has run to its end.
    [[nodiscard]] bool isFinished() const { return task_ && task_->isReady(); }
    // Requests the stop of the task it holds, which keeps it; nothing when empty.
    void cancel() noexcept { stop_.request_stop(); }
    // Drops the task without cancelling it: it runs on unheld.
    void reset() noexcept { task_.reset(); }

private:
    friend class TaskHost;

    std::optional<QCoro::Task<>> task_;
    std::stop_source stop_{std::nostopstate};
};

// A blocking call on the pool, awaited by a task: the call's result, or its
// exception with its type, is delivered on the main thread. Neither the
// task's stop nor the host's abandonment ends the call itself; an abandoned
// task's await throws TaskAbandoned once the call is over.
template <typename Result>
class PoolCall {
public:
    PoolCall(std::shared_ptr<detail::TaskControl> control, std::shared_ptr<QThreadPool> pool,
             std::function<Result()> work)
        : control_(std::move(control)), pool_(std::move(pool)), work_(std::move(work)) {}

    [[nodiscard]] bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> awaiting) {
        outcome_->awaiting = awaiting;
        pool_->start([outcome = outcome_, work = std::move(work_)] {
            try {
                if constexpr (std::is_void_v<Result>) {
                    work();
                    outcome->value.emplace();
                } else {
                    outcome->value.emplace(work());
                }
            } catch (...) {
                outcome->failure = std::current_exception();
            }
            postToMainThread([outcome] { outcome->awaiting.resume(); });
        });
    }
    Result await_resume();

private:
    using Stored = std::conditional_t<std::is_void_v<Result>, std::monostate, Result>;
    struct Outcome {
        std::coroutine_handle<> awaiting;
        std::optional<Stored> value;
        std::exception_ptr failure;
    };

    std::shared_ptr<detail::TaskControl> control_;
    std::shared_ptr<QThreadPool> pool_;
    std::function<Result()> work_;
    std::shared_ptr<Outcome> outcome_ = std::make_shared<Outcome>();
};

// A cancellable sleep of a task. It ends when its time has passed; a stop of
// its token ends it early with CancellationError, on a later turn (never
// inside `request_stop`); a token already stopped ends it at once. In an
// abandoned host it throws TaskAbandoned. An infinite one never elapses.
class SleepCall {
public:
    SleepCall(std::shared_ptr<detail::TaskControl> control, std::shared_ptr<TaskSleeper> sleeper, double seconds,
              std::stop_token stop);

    [[nodiscard]] bool await_ready() const noexcept;
    void await_suspend(std::coroutine_handle<> awaiting);
    void await_resume() const;

private:
    std::shared_ptr<detail::TaskControl> control_;
    std::shared_ptr<TaskSleeper> sleeper_;
    double seconds_;
    std::stop_token stop_;
    std::shared_ptr<detail::SleepWaiter> waiter_;
};

// Awaited by a task: it resumes on a later turn of the event loop.
class NextTurn {
public:
    explicit NextTurn(std::shared_ptr<detail::TaskControl> control) : control_(std::move(control)) {}

    [[nodiscard]] bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> awaiting);
    void await_resume() const;

private:
    std::shared_ptr<detail::TaskControl> control_;
};

// Starts and runs the tasks of one owner, on the main thread. Its owner
// abandons it first thing when it is destroyed.
class TaskHost {
public:
    // A task's body: a coroutine over the task's stop token.
    using Body = std::function<QCoro::Task<>(std::stop_token)>;

    TaskHost(std::shared_ptr<QThreadPool> pool, std::shared_ptr<TaskSleeper> sleeper);
    ~TaskHost();
    TaskHost(const TaskHost&) = delete;
    TaskHost& operator=(const TaskHost&) = delete;

    // Cancels the task in `slot` (it is not awaited) and puts a new task in
    // it that runs `body` on a later turn, with a fresh stop token. A task
    // cancelled before its turn still runs, its token stopped; a task whose
    // host is abandoned before its turn never runs.
    void replace(TaskSlot& slot, Body body);
    // The same for a task that no slot holds.
    void start(Body body);

    // `work()` on the pool, awaited: `co_await host.onPool([] { ... })`.
    template <typename Work>
    [[nodiscard]] PoolCall<std::invoke_result_t<Work&>> onPool(Work&& work) const {
        return PoolCall<std::invoke_result_t<Work&>>(control_, pool_, std::forward<Work>(work));
    }
    // A sleep of `seconds`, ended early by a stop of `stop`.
    [[nodiscard]] SleepCall sleep(double seconds, std::stop_token stop) const;
    // A wait that only a stop of `stop` ends (CancellationError), without
    // reaching the sleeper: how a task waits for an event of the main
    // thread, whose handler requests the stop.
    [[nodiscard]] SleepCall waitForStop(std::stop_token stop) const;

    // Ends every task of the host at its next resumption: stops every
    // running task's token, ends every pending sleep on a later turn, and
    // keeps tasks that have not had their turn from running. Once is enough.
    void abandon();
    [[nodiscard]] bool isAbandoned() const noexcept;

private:
    std::shared_ptr<detail::TaskControl> control_;
    std::shared_ptr<QThreadPool> pool_;
    std::shared_ptr<TaskSleeper> sleeper_;
};

namespace detail {

struct TaskControl {
    bool abandoned = false;
    std::uint64_t nextTaskID = 0;
    std::map<std::uint64_t, std::stop_source> runningTasks;
    std::vector<std::weak_ptr<SleepWaiter>> sleeps;
};

}  // namespace detail

template <typename Result>
Result PoolCall<Result>::await_resume() {
    if (control_->abandoned) throw TaskAbandoned{};
    if (outcome_->failure) std::rethrow_exception(outcome_->failure);
    if constexpr (!std::is_void_v<Result>) return std::move(*outcome_->value);
}

}  // namespace tarnel
