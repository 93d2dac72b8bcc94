#pragma once

#include <QCoroTask>

#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <variant>

#include "common/base/uuid.hpp"

namespace tarnel {

// The Tailscale compatibility snapshot of one route test, taken once and
// shared by the starts of all its routes. A snapshot taken for an earlier or
// abandoned session never reaches a later one. Main thread only.
//
// Closed (no session, empty) → open (`open`: session set, empty) → loading
// (`begin` runs the loader) → ready (the loader returned for the same
// session) → closed again by `store` or by any failure of `begin`. Opening
// a new session makes every later result of the old session's load a
// cancellation.
class RouteTestCompatibilitySession {
public:
    // Takes the snapshot: none when Tailscale is not in use.
    using Loader = std::function<QCoro::Task<std::optional<std::string>>()>;

    struct Empty {
        friend bool operator==(const Empty&, const Empty&) = default;
    };
    struct Loading {
        friend bool operator==(const Loading&, const Loading&) = default;
    };
    struct Ready {
        std::optional<std::string> snapshot;
        friend bool operator==(const Ready&, const Ready&) = default;
    };
    using State = std::variant<Empty, Loading, Ready>;

    [[nodiscard]] const std::optional<Uuid>& sessionID() const noexcept { return sessionID_; }
    [[nodiscard]] const State& state() const noexcept { return state_; }

    // Opens the session of a new route test: its identifier, no snapshot.
    void open(const Uuid& sessionID);

    // Loads the session's snapshot once: returns at once when it is ready;
    // otherwise runs `loader` and keeps what it returns, if the session is
    // still the same and `stop` was not requested by then. Fails with
    // CancellationError when `stop` is requested, the session is another,
    // a load already runs, or the session changed or was stopped while the
    // loader ran; with the loader's own error when it fails. Every failure
    // ends the session (`store`) when it is still this one.
    [[nodiscard]] QCoro::Task<> begin(Uuid sessionID, Loader loader, std::stop_token stop);

    // The ready snapshot of the session (none when Tailscale is not in use).
    // Never waits: CancellationError when `stop` is requested, the session
    // is another, or no snapshot is ready.
    [[nodiscard]] std::optional<std::string> snapshot(const Uuid& sessionID, const std::stop_token& stop) const;

    // Ends the session when it is this one; the snapshot given is not kept.
    void store(const std::optional<std::string>& snapshot, const Uuid& sessionID);

private:
    [[nodiscard]] bool matches(const Uuid& sessionID) const noexcept { return sessionID_ == sessionID; }

    std::optional<Uuid> sessionID_;
    State state_ = Empty{};
};

}  // namespace tarnel
