#include "app/ui/single_instance.hpp"

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/tunnel/tunnel_runtime_files.hpp"
#include "common/base/error.hpp"
#include "common/base/files.hpp"
#include "platform/user_directories.hpp"

namespace tarnel {

namespace {

constexpr char kAccepted = 'A';
constexpr char kRefused = 'R';
// A connection that has not sent its whole message by then is dropped.
constexpr int kConnectionMilliseconds = 5000;
// Between two tries while the running instance is still starting.
constexpr auto kRetryInterval = std::chrono::milliseconds(20);

void appendLength(std::string& out, std::size_t length) {
    for (const int shift : {24, 16, 8, 0}) out.push_back(static_cast<char>((length >> shift) & 0xff));
}

std::size_t readLength(std::string_view bytes) {
    std::size_t length = 0;
    for (std::size_t index = 0; index < 4; ++index) {
        length = (length << 8) | static_cast<unsigned char>(bytes[index]);
    }
    return length;
}

QString nativePath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

// $XDG_RUNTIME_DIR when only this user may write it.
std::optional<std::filesystem::path> privateRuntimeDirectory(const EnvironmentReader& environment) {
    const auto value = environment("XDG_RUNTIME_DIR");
    if (!value || value->empty() || value->front() != '/') return std::nullopt;
    struct stat status {};
    if (::lstat(value->c_str(), &status) != 0) return std::nullopt;
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() || (status.st_mode & 022) != 0) return std::nullopt;
    return std::filesystem::path(*value);
}

}  // namespace

std::filesystem::path SingleInstance::defaultDirectory(const EnvironmentReader& environment) {
    if (auto runtime = privateRuntimeDirectory(environment)) return *runtime;
    const auto dataHome = UserDirectories::applicationSupport(environment("XDG_DATA_HOME"), environment("HOME"));
    if (!dataHome) throw SystemError("find the user's data directory", ENOENT);
    const std::filesystem::path directory = *dataHome / TunnelRuntimeFiles::kDirectoryName / "instance";
    files::ensurePrivateDirectory(directory);
    return directory;
}

SingleInstance::SingleInstance(std::filesystem::path directory, QObject* parent)
    : QObject(parent), directory_(std::move(directory)) {}

SingleInstance::~SingleInstance() {
    if (server_ != nullptr) server_->close();
    if (lock_ >= 0) ::close(lock_);
}

std::optional<std::string> SingleInstance::encode(const std::vector<std::string>& urls) {
    std::string body;
    for (const std::string& url : urls) {
        if (url.size() > kMessageLimit) return std::nullopt;
        appendLength(body, url.size());
        body += url;
        if (body.size() > kMessageLimit) return std::nullopt;
    }
    std::string message;
    appendLength(message, body.size());
    return message + body;
}

std::optional<std::vector<std::string>> SingleInstance::decode(std::string_view body) {
    std::vector<std::string> urls;
    while (!body.empty()) {
        if (body.size() < 4) return std::nullopt;
        const std::size_t length = readLength(body);
        body.remove_prefix(4);
        if (length > body.size()) return std::nullopt;
        urls.emplace_back(body.substr(0, length));
        body.remove_prefix(length);
    }
    return urls;
}

SingleInstance::Outcome SingleInstance::start(const std::vector<std::string>& urls,
                                              std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    const auto message = encode(urls);
    while (true) {
        switch (tryLock()) {
            case Lock::held: return listen() ? Outcome::instance : Outcome::failed;
            case Lock::failed: return Outcome::failed;
            case Lock::busy: break;
        }
        if (!message) return Outcome::refused;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= std::chrono::milliseconds::zero()) return Outcome::unreachable;
        if (const auto delivered = deliver(*message, left)) return *delivered;
        std::this_thread::sleep_for(kRetryInterval);
    }
}

SingleInstance::Lock SingleInstance::tryLock() {
    if (lock_ < 0) {
        lock_ = ::open((directory_ / kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (lock_ < 0) return Lock::failed;
    }
    if (::flock(lock_, LOCK_EX | LOCK_NB) == 0) return Lock::held;
    return errno == EWOULDBLOCK ? Lock::busy : Lock::failed;
}

// Holding the lock: a socket file still there is a dead instance's.
bool SingleInstance::listen() {
    QLocalServer::removeServer(nativePath(socketPath()));
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(nativePath(socketPath()))) return false;
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* connection = server_->nextPendingConnection()) serve(connection);
    });
    return true;
}

// Hands the message to the running instance; none when it cannot be reached
// (it may be starting, or gone).
std::optional<SingleInstance::Outcome> SingleInstance::deliver(const std::string& message,
                                                               std::chrono::milliseconds timeout) {
    QLocalSocket socket;
    socket.connectToServer(nativePath(socketPath()));
    const int milliseconds = static_cast<int>(std::min<std::int64_t>(timeout.count(), kConnectionMilliseconds));
    if (!socket.waitForConnected(milliseconds)) return std::nullopt;
    socket.write(message.data(), static_cast<qint64>(message.size()));
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(milliseconds)) return std::nullopt;
    }
    if (!socket.waitForReadyRead(milliseconds)) return std::nullopt;
    char answer = 0;
    if (socket.read(&answer, 1) != 1) return std::nullopt;
    return answer == kAccepted ? Outcome::delivered : Outcome::refused;
}

void SingleInstance::serve(QLocalSocket* connection) {
    connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
    auto* expiry = new QTimer(connection);
    expiry->setSingleShot(true);
    connect(expiry, &QTimer::timeout, connection, [connection] { connection->abort(); });
    expiry->start(kConnectionMilliseconds);

    // One message per connection; what comes after the answer is ignored.
    struct Pending {
        std::string bytes;
        bool answered = false;
    };
    auto pending = std::make_shared<Pending>();
    connect(connection, &QLocalSocket::readyRead, this, [this, connection, pending] {
        const QByteArray bytes = connection->readAll();
        if (pending->answered) return;
        pending->bytes.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        const auto answer = [connection, pending](char reply) {
            pending->answered = true;
            pending->bytes.clear();
            connection->write(&reply, 1);
            connection->flush();
            connection->disconnectFromServer();
        };
        if (pending->bytes.size() < 4) return;
        const std::size_t length = readLength(pending->bytes);
        if (length > kMessageLimit || pending->bytes.size() > 4 + length) {
            answer(kRefused);
            return;
        }
        if (pending->bytes.size() < 4 + length) return;
        auto urls = decode(std::string_view(pending->bytes).substr(4));
        if (!urls) {
            answer(kRefused);
            return;
        }
        answer(kAccepted);
        if (urls->empty()) {
            emit activationRequested();
        } else {
            emit urlsReceived(*urls);
        }
    });
}

}  // namespace tarnel
