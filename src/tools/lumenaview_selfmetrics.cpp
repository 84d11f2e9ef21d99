#include "tools/lumenaview_selfmetrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <vector>

namespace lumenaview {

namespace {

std::string number(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);  // shortest exact form
    return std::string(text, result.ptr);
}

// A label value as the exposition needs it; bytes that are not printable
// ASCII (a key file name can hold anything) become '?'.
std::string labelValue(const std::string& value) {
    std::string text;
    for (const char c : value) {
        if (c == '\\' || c == '"')
            text += '\\';
        text += c >= 0x20 && c < 0x7f ? c : '?';
    }
    return text;
}

struct Family {
    const char* name;
    bool counter;
    const char* help;
    std::vector<std::pair<std::string, double>> samples;  // rendered label set, value
};

void writeFamily(std::string& text, const Family& f, bool openMetrics) {
    const std::string base = f.name;
    const std::string sample = f.counter ? base + "_total" : base;
    const std::string& header = openMetrics ? base : sample;
    text += "# HELP " + header + ' ' + f.help + "\n# TYPE " + header +
            (f.counter ? " counter\n" : " gauge\n");
    for (const auto& [labels, value] : f.samples)
        text += sample + labels + ' ' + number(value) + '\n';
}

// Fields of /proc/self/stat after the command name (which may hold spaces):
// index 0 is the state, field 3 of proc(5).
std::vector<std::string> statFields() {
    std::ifstream file("/proc/self/stat");
    const std::string line((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    const size_t close = line.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos)
        return fields;
    std::istringstream rest(line.substr(close + 1));
    for (std::string field; rest >> field;)
        fields.push_back(field);
    return fields;
}

double bootTime() {
    std::ifstream file("/proc/stat");
    for (std::string key; file >> key;) {
        if (key == "btime") {
            double value = 0;
            file >> value;
            return value;
        }
        file.ignore(1 << 20, '\n');
    }
    return 0;
}

int openFds() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return 0;
    int count = 0;
    while (const dirent* entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count - 1;  // the directory being read
}

std::vector<Family> processFamilies() {
    const std::vector<std::string> stat = statFields();
    const auto field = [&](size_t n) {  // n: the field number of proc(5)
        return stat.size() > n - 3 ? std::stod(stat[n - 3]) : 0.0;
    };
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    return {
        {"process_cpu_seconds",
         true,
         "User and system processor time of the exporter.",
         {{"", (field(14) + field(15)) / ticks}}},
        {"process_resident_memory_bytes",
         false,
         "Resident memory of the exporter.",
         {{"", field(24) * static_cast<double>(sysconf(_SC_PAGESIZE))}}},
        {"process_open_fds", false, "Open file descriptors.", {{"", openFds()}}},
        {"process_max_fds",
         false,
         "Limit of open file descriptors.",
         {{"", static_cast<double>(files.rlim_cur)}}},
        {"process_start_time_seconds",
         false,
         "Start of the exporter, in seconds since 1970.",
         {{"", bootTime() + field(22) / ticks}}},
    };
}

}  // namespace

void SelfMetrics::brokerRead(const std::string& uuid, double seconds, bool failed) {
    std::lock_guard lock(mutex);
    Broker& broker = brokers[uuid];
    broker.seconds = seconds;
    broker.errors += failed;
    broker.capture = captures + 1;  // the one in progress
}

void SelfMetrics::captured(uint64_t served) {
    std::lock_guard lock(mutex);
    ++captures;
    scrapes += served;
    // A broker gone (or a key file planted once) leaves no series behind.
    std::erase_if(brokers, [this](const auto& entry) { return entry.second.capture != captures; });
}

void SelfMetrics::refused(const std::string& reason) {
    std::lock_guard lock(mutex);
    ++refusals[reason];
}

void SelfMetrics::appendTo(std::string& exposition, bool openMetrics) const {
    std::vector<Family> families = processFamilies();
    {
        std::lock_guard lock(mutex);
        Family duration{"lumena_exporter_scrape_duration_seconds",
                        false,
                        "Time to read and decode the broker's segment at the latest capture.",
                        {}};
        Family errors{"lumena_exporter_scrape_errors",
                      true,
                      "Captures in which the broker's segment could not be read.",
                      {}};
        for (const auto& [uuid, broker] : brokers) {
            const std::string labels = "{broker_uuid=\"" + labelValue(uuid) + "\"}";
            duration.samples.emplace_back(labels, broker.seconds);
            errors.samples.emplace_back(labels, static_cast<double>(broker.errors));
        }
        Family refused{"lumena_exporter_connections_refused",
                       true,
                       "Connections answered 503 or 408 without serving them, by reason.",
                       {}};
        for (const char* reason : {"limit", "timeout", "busy"}) {
            const auto it = refusals.find(reason);
            refused.samples.emplace_back(std::string("{reason=\"") + reason + "\"}",
                                         it == refusals.end() ? 0 : it->second);
        }
        families.push_back(std::move(duration));
        families.push_back(std::move(errors));
        families.push_back(std::move(refused));
        families.push_back({"lumena_exporter_captures",
                            true,
                            "Reads of the brokers' segments for scrapes.",
                            {{"", static_cast<double>(captures)}}});
        families.push_back({"lumena_exporter_scrapes",
                            true,
                            "Scrapes answered (several at once share one capture).",
                            {{"", static_cast<double>(scrapes)}}});
    }
    std::string text;
    for (const Family& family : families) {
        if (!family.samples.empty())
            writeFamily(text, family, openMetrics);
    }
    const std::string eof = "# EOF\n";
    const bool ends = exposition.size() >= eof.size() &&
                      exposition.compare(exposition.size() - eof.size(), eof.size(), eof) == 0;
    exposition.insert(ends ? exposition.size() - eof.size() : exposition.size(), text);
}

}  // namespace lumenaview
