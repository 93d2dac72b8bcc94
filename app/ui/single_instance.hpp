#pragma once

#include <QObject>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/ui/app_language.hpp"

class QLocalServer;
class QLocalSocket;

namespace tarnel {

// One running instance of the application per user. The first start holds an
// exclusive lock on a file beside a local socket in a directory only the user
// can write, and listens on the socket; a later start that cannot take the
// lock hands its URLs (or, without URLs, a request to raise a window) to the
// instance over the socket and exits. The lock ends with the process that
// held it, so a socket file left by one that died is taken over by the next
// start; of two starts at the same moment exactly one takes the lock.
//
// A message is a 4-byte big-endian length and as many bytes: for each URL a
// 4-byte big-endian length and its bytes. At most 64 KiB of message; the
// instance answers "A" once it has taken a message and "R" when it refuses
// one.
class SingleInstance final : public QObject {
    Q_OBJECT

public:
    static constexpr std::size_t kMessageLimit = 64 * 1024;
    static constexpr std::string_view kSocketName = "app.tarnel.direct.instance";
    static constexpr std::string_view kLockName = "app.tarnel.direct.instance.lock";

    enum class Outcome {
        // This process is the instance and now listens.
        instance,
        // The running instance took the URLs (or the request to raise a window).
        delivered,
        // The URLs are longer than a message may be, or the instance refused them.
        refused,
        // The running instance did not answer in time.
        unreachable,
        // The lock file or the socket could not be made.
        failed,
    };

    // The directory of the socket: $XDG_RUNTIME_DIR when it is an absolute
    // path to a directory of this user that no one else may write; else
    // "Tarnel Direct/instance" (mode 0700, made when missing) under the
    // user's data directory. Throws SystemError when that cannot be made.
    [[nodiscard]] static std::filesystem::path defaultDirectory(const EnvironmentReader& environment);

    explicit SingleInstance(std::filesystem::path directory, QObject* parent = nullptr);
    ~SingleInstance() override;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Becomes the instance, or hands `urls` to the running one, trying for
    // at most `patience` (the running instance may still be starting).
    [[nodiscard]] Outcome start(const std::vector<std::string>& urls,
                                std::chrono::milliseconds patience = std::chrono::seconds(5));

    [[nodiscard]] std::filesystem::path socketPath() const { return directory_ / kSocketName; }

    // The message of a list of URLs; none when it would exceed the limit.
    [[nodiscard]] static std::optional<std::string> encode(const std::vector<std::string>& urls);
    // The URLs of a message body (without its own length); none when it is
    // not one.
    [[nodiscard]] static std::optional<std::vector<std::string>> decode(std::string_view body);

signals:
    // Another start handed over these URLs (in its order).
    void urlsReceived(const std::vector<std::string>& urls);
    // Another start without URLs asks for a window.
    void activationRequested();

private:
    enum class Lock { held, busy, failed };
    [[nodiscard]] Lock tryLock();
    [[nodiscard]] bool listen();
    [[nodiscard]] std::optional<Outcome> deliver(const std::string& message, std::chrono::milliseconds timeout);
    void serve(QLocalSocket* connection);

    std::filesystem::path directory_;
    int lock_ = -1;
    QLocalServer* server_ = nullptr;
};

}  // namespace tarnel
