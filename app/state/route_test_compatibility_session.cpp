#include "app/state/route_test_compatibility_session.hpp"

#include <exception>
#include <utility>

#include "app/state/task_layer.hpp"
#include "common/process/cancellation_error.hpp"

namespace tarnel {

void RouteTestCompatibilitySession::open(const Uuid& sessionID) {
    sessionID_ = sessionID;
    state_ = Empty{};
}

QCoro::Task<> RouteTestCompatibilitySession::begin(Uuid sessionID, Loader loader, std::stop_token stop) {
    // Every failure ends the session when it is still this one.
    const auto cancelled = [&] {
        store(std::nullopt, sessionID);
        return CancellationError{};
    };
    if (stop.stop_requested() || !matches(sessionID) || std::holds_alternative<Loading>(state_)) throw cancelled();
    if (std::holds_alternative<Ready>(state_)) co_return;

    state_ = Loading{};
    std::optional<std::string> loaded;
    try {
        loaded = co_await loader();
    } catch (const TaskAbandoned&) {
        throw;  // the owner is gone, and this session with it
    } catch (...) {
        store(std::nullopt, sessionID);
        throw;
    }
    if (stop.stop_requested() || !matches(sessionID)) throw cancelled();
    state_ = Ready{std::move(loaded)};
}

std::optional<std::string> RouteTestCompatibilitySession::snapshot(const Uuid& sessionID,
                                                                   const std::stop_token& stop) const {
    if (stop.stop_requested() || !matches(sessionID)) throw CancellationError{};
    const auto* ready = std::get_if<Ready>(&state_);
    if (ready == nullptr) throw CancellationError{};
    return ready->snapshot;
}

void RouteTestCompatibilitySession::store(const std::optional<std::string>& /*snapshot*/, const Uuid& sessionID) {
    if (!matches(sessionID)) return;
    sessionID_.reset();
    state_ = Empty{};
}

}  // namespace tarnel
