#include "common/base/log.hpp"

#include <syslog.h>

namespace tarnel {

namespace {

std::mutex gSinkMutex;
std::shared_ptr<LogSink> gSink;  // null: syslog

std::shared_ptr<LogSink> currentSink() {
    std::lock_guard lock(gSinkMutex);
    if (!gSink) gSink = std::make_shared<SyslogSink>();
    return gSink;
}

int syslogPriority(LogLevel level) {
    switch (level) {
        case LogLevel::debug: return LOG_DEBUG;
        case LogLevel::info: return LOG_INFO;
        case LogLevel::standard: return LOG_NOTICE;
        case LogLevel::error: return LOG_ERR;
        case LogLevel::fault: return LOG_CRIT;
    }
    return LOG_NOTICE;
}

}  // namespace

void SyslogSink::write(const LogEntry& entry) {
    ::syslog(syslogPriority(entry.level), "[%s:%s] %s", entry.subsystem.c_str(), entry.category.c_str(),
             entry.text.c_str());
}

void CaptureLogSink::write(const LogEntry& entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
}

std::vector<LogEntry> CaptureLogSink::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<std::string> CaptureLogSink::lines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    lines.reserve(entries_.size());
    for (const auto& entry : entries_) lines.push_back(entry.text);
    return lines;
}

void CaptureLogSink::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

void setLogSink(std::shared_ptr<LogSink> sink) {
    std::lock_guard lock(gSinkMutex);
    gSink = std::move(sink);
}

ScopedLogCapture::ScopedLogCapture() : sink_(std::make_shared<CaptureLogSink>()) { setLogSink(sink_); }

ScopedLogCapture::~ScopedLogCapture() { setLogSink(nullptr); }

Log::Log(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Log::write(LogLevel level, std::string_view text) const noexcept {
    try {
        currentSink()->write(LogEntry{subsystem_, category_, level, std::string(text)});
    } catch (...) {
        // Logging never fails its caller.
    }
}

}  // namespace tarnel
