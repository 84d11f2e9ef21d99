// Capture and formatting of cciLog calls.
#include <time.h>

#include "broker/harness.h"

namespace standin {

namespace {

// "2024-05-01T10:20:30.123456Z"
std::string utcStamp(double wallSeconds) {
    const auto seconds = static_cast<time_t>(wallSeconds);
    const auto micros = static_cast<long>((wallSeconds - static_cast<double>(seconds)) * 1e6);
    tm broken{};
    gmtime_r(&seconds, &broken);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", broken.tm_year + 1900,
                  broken.tm_mon + 1, broken.tm_mday, broken.tm_hour, broken.tm_min, broken.tm_sec,
                  micros);
    return text;
}

}  // namespace

std::string formatLogRecord(const LogRecord& record) {
    std::string line = utcStamp(record.wallSeconds);
    line += ' ' + std::to_string(record.processId) + '/' + std::to_string(record.threadId);
    if (record.isTrace()) {
        line += " TRACE";
    } else {
        line += " MSG" + std::to_string(record.messageNumber) + ' ' + record.source;
    }
    if (record.logType != BRK_LOG_TRACE)
        line += " type=" + std::to_string(record.logType);
    line += ' ' + record.file + ':' + std::to_string(record.line) + ' ' + record.function;
    line += " | " + record.text;
    if (!record.inserts.empty()) {
        line += " {";
        for (size_t i = 0; i < record.inserts.size(); ++i) {
            if (i > 0)
                line += '|';
            line += record.inserts[i];
        }
        line += '}';
    }
    // One record, one line: a text with line breaks must not split it.
    for (char& c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return line;
}

LogSink::LogSink(FILE* echo, bool keep) : echo_(echo), keep_(keep) {
    previous_ = setLogHandler(this);
}

LogSink::~LogSink() {
    setLogHandler(previous_);
}

void LogSink::write(const LogRecord& record) {
    std::string line;
    if (echo_ != nullptr)
        line = formatLogRecord(record) + '\n';
    std::lock_guard lock(mutex_);
    if (echo_ != nullptr) {
        std::fputs(line.c_str(), echo_);
        std::fflush(echo_);
    }
    if (keep_)
        records_.push_back(record);
}

template <typename Predicate>
std::vector<LogRecord> LogSink::select(Predicate keepIt) const {
    std::lock_guard lock(mutex_);
    std::vector<LogRecord> result;
    for (const LogRecord& record : records_) {
        if (keepIt(record))
            result.push_back(record);
    }
    return result;
}

std::vector<LogRecord> LogSink::all() const {
    return select([](const LogRecord&) { return true; });
}

std::vector<LogRecord> LogSink::withNumber(int messageNumber) const {
    return select([=](const LogRecord& r) { return r.messageNumber == messageNumber; });
}

std::vector<LogRecord> LogSink::traceLines() const {
    return select([](const LogRecord& r) { return r.isTrace(); });
}

std::vector<LogRecord> LogSink::ofFunction(std::string_view function) const {
    return select([=](const LogRecord& r) { return r.function == function; });
}

std::vector<LogRecord> LogSink::containing(std::string_view fragment) const {
    return select([=](const LogRecord& r) { return r.text.find(fragment) != std::string::npos; });
}

size_t LogSink::count() const {
    std::lock_guard lock(mutex_);
    return records_.size();
}

size_t LogSink::countWithNumber(int messageNumber) const {
    return withNumber(messageNumber).size();
}

void LogSink::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

}  // namespace standin
