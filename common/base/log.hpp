#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel {

// Levels of the system log, from least to most severe. `standard` is the
// log's default level.
enum class LogLevel { debug, info, standard, error, fault };

struct LogEntry {
    std::string subsystem;
    std::string category;
    LogLevel level;
    std::string text;

    friend bool operator==(const LogEntry&, const LogEntry&) = default;
};

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogEntry& entry) = 0;
};

// Writes to syslog: production's sink.
class SyslogSink final : public LogSink {
public:
    void write(const LogEntry& entry) override;
};

// Keeps every entry in memory so that tests compare lines exactly.
class CaptureLogSink final : public LogSink {
public:
    void write(const LogEntry& entry) override;
    [[nodiscard]] std::vector<LogEntry> entries() const;
    [[nodiscard]] std::vector<std::string> lines() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<LogEntry> entries_;
};

// Replaces the process-wide sink; nullptr restores syslog. Thread-safe.
void setLogSink(std::shared_ptr<LogSink> sink);

// Installs a capture sink for the life of the object (tests).
class ScopedLogCapture {
public:
    ScopedLogCapture();
    ~ScopedLogCapture();
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

    [[nodiscard]] CaptureLogSink& sink() { return *sink_; }
    [[nodiscard]] std::vector<LogEntry> entries() const { return sink_->entries(); }

private:
    std::shared_ptr<CaptureLogSink> sink_;
};

// A logger for one subsystem and category. Lines are the system's key=value
// texts; writing never fails.
class Log {
public:
    Log(std::string subsystem, std::string category);

    void write(LogLevel level, std::string_view text) const noexcept;
    void debug(std::string_view text) const noexcept { write(LogLevel::debug, text); }
    void info(std::string_view text) const noexcept { write(LogLevel::info, text); }
    void notice(std::string_view text) const noexcept { write(LogLevel::standard, text); }
    void error(std::string_view text) const noexcept { write(LogLevel::error, text); }
    void fault(std::string_view text) const noexcept { write(LogLevel::fault, text); }

    [[nodiscard]] const std::string& subsystem() const noexcept { return subsystem_; }
    [[nodiscard]] const std::string& category() const noexcept { return category_; }

private:
    std::string subsystem_;
    std::string category_;
};

}  // namespace tarnel
