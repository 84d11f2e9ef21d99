#include "tools/lumenaview_app.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "tools/lumenaview_capture.h"
#include "tools/lumenaview_decode.h"
#include "tools/lumenaview_filter.h"
#include "tools/lumenaview_http.h"
#include "tools/lumenaview_json.h"
#include "tools/lumenaview_locks.h"
#include "tools/lumenaview_prom.h"
#include "tools/lumenaview_selfmetrics.h"
#include "tools/lumenaview_table.h"
#include "tools/lumenaview_text.h"
#include "tools/lumenaview_units.h"
#include "zov/core/zovctool.h"

namespace lumenaview {

namespace {

constexpr char kDescription[] =
    "lumenaview shows what the monitoring node records in a broker's shared memory:\n"
    "the brokers on this machine, their execution groups (with process id and whether\n"
    "the process is alive), message flows and monitored nodes, each node's statistics\n"
    "(message count, sizes, processor and queued times, first and last message), the\n"
    "sums per flow, execution group and broker for input, output and other nodes, and\n"
    "optionally the events.\n"
    "\n"
    "It only looks: each segment is attached read-only, copied and detached at once.\n"
    "It never creates, changes or removes a segment, file or lock, so it cannot\n"
    "disturb or stall a running broker. Brokers are found by their key files\n"
    "/tmp/<UUID>.zovcshme. Only what root, this user or a --broker-user owns is\n"
    "read: a key file that is a link, has several names or is another user's, and\n"
    "a segment of another user, open to more than owner and group, larger than\n"
    "3 x 64 MiB + 64 bytes or not of the size its header says, is refused and\n"
    "reported (lumena_broker_refused in the metrics), never shown as a broker; so\n"
    "is a second key file on a segment already read.\n"
    "\n"
    "--locks lists the named mutexes (semaphores) of the brokers: free, held, or\n"
    "STALE when the process that took it has ended without freeing it (killed while\n"
    "updating), which stalls every later taker. --release-stale frees one such\n"
    "mutex, after asking: the only change lumenaview ever makes.\n";

constexpr char kFooter[] =
    "Examples:\n"
    "  lumenaview                    every broker, as text\n"
    "  lumenaview -b DEMO_BROKER     one broker, by name or UUID (globs: -b 'DEMO*')\n"
    "  lumenaview --node 'In*'       only the nodes whose label starts with In\n"
    "                                (and the sums of those)\n"
    "  lumenaview -w 2 --table --sort rate\n"
    "                                one line per node, refreshed in place every 2 s\n"
    "  lumenaview -e -w 1            follow the events as they come\n"
    "  lumenaview -f json            every broker in one JSON document (an array)\n"
    "  lumenaview -f ndjson -w 5     one JSON line per broker every 5 seconds\n"
    "  lumenaview -f prometheus -w 15 \\\n"
    "      -o /var/lib/prometheus/node-exporter/lumena.prom\n"
    "                                metrics for a text-file collector, rewritten\n"
    "  lumenaview --web.listen-address :9637 --web.config.file web.yml\n"
    "                                serve /metrics to a Prometheus server\n"
    "  lumenaview --list             name, UUID, processes, segment size of each\n"
    "  lumenaview --locks            the named mutexes and who holds them\n"
    "  lumenaview --release-stale /tmp/<name>.zovmutx\n"
    "                                free a mutex whose holder has ended\n"
    "\n"
    "Exit codes:\n"
    "  0   everything was shown\n"
    "  1   shown, but something was wrong (corrupt area, unstable statistics record,\n"
    "      or a broker that could not be read while others could)\n"
    "  2   no broker found (no key file, only key files without a segment, or none\n"
    "      matching --broker)\n"
    "  3   no broker could be read (permission denied, foreign or truncated segment)\n"
    "  4   the --output file could not be written, or the exporter cannot serve (an\n"
    "      address in use, an unusable --web.config.file)\n"
    "  64  wrong usage\n"
    "With --watch, the code is that of the last refresh.\n"
    "--locks: 0 none stale, 1 a stale, over-released or shared-key mutex, 2 no key\n"
    "file. --release-stale: 0 released, 1 not stale, declined or changed meanwhile,\n"
    "2 no such mutex, 3 the release failed.\n";

// Option lines of --help within 80 columns: the description wrapped in the
// right-hand column, and only the value's name and default beside the option
// (what an option needs or excludes, its description says).
class HelpFormatter : public CLI::Formatter {
  public:
    static constexpr size_t kWidth = 80;
    static constexpr size_t kColumn = 30;

    std::string make_option_opts(const CLI::Option* option) const override {
        std::string text;
        if (option->get_type_size() == 0)
            return text;
        if (!option->get_type_name().empty())
            text += " " + option->get_type_name();
        if (!option->get_default_str().empty())
            text += "=" + option->get_default_str();
        if (option->get_expected_max() == CLI::detail::expected_max_vector_size)
            text += " ...";
        return text;
    }

    std::string make_option(const CLI::Option* option, bool positional) const override {
        const std::string left =
            "  " + make_option_name(option, positional) + make_option_opts(option);
        std::string text = left;
        size_t used = left.size();
        if (used >= kColumn) {
            text += '\n';
            used = 0;
        }
        std::istringstream words(make_option_desc(option));
        bool first = true;
        for (std::string word; words >> word; first = false) {
            if (!first && used + 1 + word.size() > kWidth) {
                text += '\n';
                used = 0;
            }
            if (used < kColumn) {
                text += std::string(kColumn - used, ' ');
                used = kColumn;
            } else {
                text += ' ';
                ++used;
            }
            text += word;
            used += word.size();
        }
        return text + '\n';
    }
};

struct Options {
    Filter filter;
    std::string format = "text";
    bool table = false;
    bool wide = false;
    std::string sort = "name";
    bool events = false;
    double watch = 0;
    int count = 0;
    bool hideDeleted = false;
    bool brief = false;
    bool pretty = false;
    int retries = 100;
    bool list = false;
    bool locks = false;
    std::string releaseStale;
    bool yes = false;
    std::string listen;                  // ADDR:PORT to serve the metrics on
    std::vector<std::string> webListen;  // more of them, as the ecosystem spells it
    std::string webConfig;               // TLS and users (lumenaview_webconfig.h)
    std::string telemetryPath = "/metrics";
    std::string output;  // file to replace atomically with each refresh
    std::vector<std::string> brokerUsers;
};

bool metricsFormat(const std::string& format) {
    return format == "prometheus" || format == "openmetrics";
}

// The metrics options: serving over HTTP and writing for a text-file collector.
void addMetricsOptions(CLI::App& app, Options& o, CLI::Option* format, CLI::Option* watch) {
    app.set_version_flag("--version", std::string("lumenaview ") + LUMENA_VERSION);
    CLI::Option* output =
        app.add_option("-o,--output", o.output,
                       "Write to FILE instead of standard output, replacing it atomically at "
                       "each refresh (a temporary file renamed over it)")
            ->type_name("FILE");
    const std::vector<CLI::Option*> serving = {
        app.add_option("--listen", o.listen,
                       "Serve the metrics over HTTP on ADDR:PORT (GET /metrics, /-/healthy), "
                       "read afresh at each request; runs until interrupted")
            ->type_name("ADDR:PORT"),
        app.add_option("--web.listen-address", o.webListen,
                       "Like --listen, repeatable; :PORT or [::]:PORT is every address, IPv6 "
                       "and IPv4 (default :" +
                           std::to_string(kDefaultPort) + " when only the options below are given)")
            ->type_name("[ADDR]:PORT")
            ->allow_extra_args(false),
        app.add_option("--web.config.file", o.webConfig,
                       "Serve HTTPS and/or require users, as this YAML file says "
                       "(tls_server_config, basic_auth_users); re-read on SIGHUP")
            ->type_name("FILE"),
        app.add_option("--web.telemetry-path", o.telemetryPath, "Path of the metrics when serving")
            ->type_name("PATH")
            ->capture_default_str(),
    };
    for (CLI::Option* option : serving) {
        option->excludes(format)
            ->excludes(watch)
            ->excludes(output)
            ->excludes("--events")
            ->excludes("--list")
            ->excludes("--locks");
    }
}

// A validator whose message names the accepted range in words.
CLI::Validator numberIn(double low, double high, const char* what) {
    return CLI::Validator(
        [=](std::string& text) {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !(value >= low && value <= high)) {
                return "'" + text + "' is not " + what;
            }
            return std::string();
        },
        "", "");
}

CLI::Validator globOrName(const char* what) {
    return CLI::Validator(
        [=](std::string& text) {
            return text.empty() ? std::string("an empty ") + what + " matches nothing"
                                : std::string();
        },
        "", "");
}

// Which brokers and which parts of their trees are shown.
void addFilterOptions(CLI::App& app, Options& o) {
    app.add_option("-b,--broker", o.filter.brokers,
                   "Show only brokers whose name or UUID matches (a shell glob: * ? [...]; "
                   "repeatable); default: every broker found")
        ->type_name("NAME|UUID")
        ->check(globOrName("broker name"));
    app.add_option("--group", o.filter.groups,
                   "Show only execution groups whose label or UUID matches (glob, repeatable)")
        ->type_name("GLOB")
        ->check(globOrName("group"));
    app.add_option("--flow", o.filter.flows,
                   "Show only message flows whose label or UUID matches (glob, repeatable)")
        ->type_name("GLOB")
        ->check(globOrName("flow"));
    app.add_option("--node", o.filter.nodes,
                   "Show only nodes whose label or UUID matches (glob, repeatable). With any "
                   "of --group, --flow, --node the sums are those of what is shown, and the "
                   "output says so")
        ->type_name("GLOB")
        ->check(globOrName("node"));
}

// What is shown and how.
void addViewOptions(CLI::App& app, Options& o) {
    app.add_option("-f,--format", o.format,
                   "Output: text (for people), json (one document per run: an array of "
                   "brokers), ndjson (one line per broker; the form for --watch), "
                   "prometheus or openmetrics (metrics text format)")
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"text", "json", "ndjson", "prometheus", "openmetrics"}))
        ->capture_default_str();
    app.add_flag("--table", o.table,
                 "Text: one line per node (messages, messages/s, average size, queued and "
                 "elapsed time; \"-\" where there is none) in 80 columns instead of the full "
                 "tree; with --watch on a terminal the screen is rewritten in place");
    app.add_flag("--wide", o.wide,
                 "With --table: also the maximum size and queued time and the broker's "
                 "UUID, in more than 80 columns");
    app.add_option("--sort", o.sort,
                   "With --table: order of the lines, highest first for rate (messages/s), "
                   "messages and queued (average queued time), alphabetical for name")
        ->type_name("KEY")
        ->check(CLI::IsMember({"rate", "messages", "queued", "name"}))
        ->capture_default_str();
    app.add_flag("-e,--events", o.events,
                 "Also show the events with their templates: every event present, or in watch "
                 "mode the events new since the previous refresh");
    app.add_flag("--hide-deleted", o.hideDeleted,
                 "Text: leave out nodes marked deleted (their figures stay in the sums)");
    app.add_flag("--brief", o.brief, "Text: leave out the area headers and record IDs");
    app.add_flag("--pretty", o.pretty, "json: indent the document");
}

// When and how often to look.
void addRefreshOptions(CLI::App& app, Options& o) {
    CLI::Option* watch =
        app.add_option("-w,--watch", o.watch,
                       "Refresh every SECONDS, 0.1 to 86400 (fractions allowed), until "
                       "interrupted; adds message rates per second between refreshes")
            ->type_name("SECONDS")
            ->check(numberIn(0.1, 86400, "a number of seconds from 0.1 to 86400"));
    app.add_option("-n,--count", o.count, "With --watch: stop after N refreshes, 1 to 1000000000")
        ->type_name("N")
        ->check(numberIn(1, 1e9, "a whole number of refreshes from 1 to 1000000000"))
        ->needs(watch);
    app.add_option("--retries", o.retries,
                   "Re-reads, 1 to 100000, of a statistics record being rewritten before it is "
                   "reported unstable")
        ->type_name("N")
        ->check(numberIn(1, 100000, "a whole number from 1 to 100000"))
        ->capture_default_str();
}

// The user named or numbered by `text`.
std::optional<uid_t> userId(const std::string& text) {
    if (const struct passwd* entry = getpwnam(text.c_str()))
        return entry->pw_uid;
    char* end = nullptr;
    const unsigned long number = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-' || number >= UINT32_MAX)
        return std::nullopt;
    return static_cast<uid_t>(number);
}

// The users whose brokers are read; a name unknown on this machine (a
// service set up before its broker user exists) is said and skipped.
void trustBrokerUsers(const Options& options, std::ostream& err) {
    ZOV_Trusted_Users users;
    for (const std::string& name : options.brokerUsers) {
        if (const std::optional<uid_t> user = userId(name))
            users.add(*user);
        else
            err << "lumenaview: --broker-user " << escapeForTerminal(name)
                << ": no such user here; ignored\n";
    }
    setBrokerUsers(users);
}

void buildCommandLine(CLI::App& app, Options& o) {
    app.formatter(std::make_shared<HelpFormatter>());
    app.description(kDescription);
    app.footer(kFooter);
    addFilterOptions(app, o);
    addViewOptions(app, o);
    addRefreshOptions(app, o);
    app.add_flag("--list", o.list,
                 "Only list the brokers found (or matching --broker): name, UUID, number of "
                 "execution-group processes alive, segment size");
    CLI::Option* locks = app.add_flag(
        "--locks", o.locks,
        "List the named mutexes (of the brokers given with -b, or all) with their state; "
        "text or json");
    CLI::Option* release =
        app.add_option("--release-stale", o.releaseStale,
                       "Free the named mutex of this key file (or name) if the process that took "
                       "it has ended; asks first")
            ->type_name("KEYFILE")
            ->excludes(locks);
    app.add_flag("-y,--yes", o.yes, "With --release-stale: do not ask")->needs(release);
    app.add_option("--broker-user", o.brokerUsers,
                   "A user (name or number) whose key files, segments and mutexes are read "
                   "besides root's and this user's (repeatable): the brokers' user. A name "
                   "unknown here is said and trusts nobody")
        ->type_name("USER");
    addMetricsOptions(app, o, app.get_option("--format"), app.get_option("--watch"));
}

// Combinations that the parser cannot check; "" when the options agree.
std::string conflicts(const Options& o) {
    if (o.format == "json" && o.watch > 0)
        return "--format json writes one document per run; with --watch use --format ndjson";
    if (o.table && o.format != "text")
        return "--table is a text form; it does not go with --format " + o.format;
    if (o.wide && !o.table)
        return "--wide widens the lines of --table";
    if (o.sort != "name" && !o.table)
        return "--sort orders the lines of --table";
    return "";
}

std::atomic<bool> interrupted{false};

// The broker names read so far, for the metrics of a broker that cannot be
// read now; shared by the threads serving scrapes.
class LabelMemory {
  public:
    void remember(const std::string& uuid, const std::string& label) {
        std::lock_guard lock(mutex);
        labels[uuid] = label;
    }
    std::string recall(const std::string& uuid) {
        std::lock_guard lock(mutex);
        const auto it = labels.find(uuid);
        return it == labels.end() ? std::string() : it->second;
    }

  private:
    std::mutex mutex;
    std::map<std::string, std::string> labels;
};
LabelMemory brokerLabels;

// The name under which a broker registry holds this UUID
// ("<registry>/<name>/BrokerUUID", its first word), for a broker whose
// segment cannot be read before any read succeeded; "" when none does. A
// bounded look: the first entries of each registry, each file's first bytes.
std::string registeredName(const std::string& uuid) {
    constexpr int kMostEntries = 1000;
    for (const char* root : {kZOVRegistryPrimary, kZOVRegistrySecondary}) {
        std::error_code error;
        std::filesystem::directory_iterator entry(root, error);
        for (int n = 0;
             !error && entry != std::filesystem::directory_iterator() && n < kMostEntries;
             entry.increment(error), ++n) {
            std::ifstream file(entry->path() / "BrokerUUID");
            char head[128] = {};
            file.read(head, sizeof head - 1);
            std::istringstream words(head);
            std::string first;
            if (words >> first && first == uuid)
                return entry->path().filename().string();
        }
    }
    return "";
}

// Replaces `path` with `text` all at once: a reader sees the old or the new
// file, never a part. The temporary file beside it has a name a text-file
// collector ignores (it does not end in .prom).
bool publish(const std::string& path, const std::string& text, std::ostream& err) {
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    unlink(temporary.c_str());  // left by an earlier run with this process id
    const int fd =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool written = fd >= 0 && fchmod(fd, 0644) == 0;
    for (size_t done = 0; written && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        written = n > 0;
        done += written ? static_cast<size_t>(n) : 0;
    }
    written = written && fsync(fd) == 0;
    if (fd >= 0)
        written = close(fd) == 0 && written;
    if (written && rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    err << "lumenaview: cannot write " << path << ": " << std::strerror(errno) << '\n';
    unlink(temporary.c_str());
    return false;
}

extern "C" void onInterrupt(int) {
    interrupted = true;
}

// What one refresh found, for the exit code.
struct Outcome {
    int shown = 0;       // brokers decoded
    int absent = 0;      // key file or segment missing
    int unreadable = 0;  // denied, foreign, truncated, failed, refused
    int refused = 0;     // key files refused for the trust rules, listed or not
    bool problems = false;

    int looked() const { return shown + absent + unreadable; }
    int exitCode() const {
        if (shown == 0)
            return unreadable > 0 ? kExitUnreadable : kExitNoBroker;
        return problems || absent > 0 || unreadable > 0 ? kExitPartial : kExitOk;
    }
};

// Refused key files listed one by one in a look; the rest only counted, so
// that names planted by the thousand cannot flood an output.
constexpr int kRefusalsListed = 64;

SortKey sortKey(const std::string& name) {
    return name == "rate"       ? SortKey::kRate
           : name == "messages" ? SortKey::kMessages
           : name == "queued"   ? SortKey::kQueued
                                : SortKey::kName;
}

class Viewer {
  public:
    Viewer(const Options& options, std::ostream& out, std::ostream& err, bool terminal = false)
        : options(options), out(out), err(err), terminal(terminal) {}

    // Looks at every broker that matches and shows them; `inPlace` rewrites
    // the table from the top of the screen.
    int refresh(bool inPlace = false) {
        Outcome outcome;
        const std::vector<BrokerView> views = look(outcome, metricsFormat(options.format));
        if (outcome.looked() == 0) {
            // Metrics still say that there is none, rather than vanish, and
            // a JSON document is still one: an empty array.
            if ((metricsFormat(options.format) || options.format == "json") && !write({}, false))
                return kExitOutput;
            return kExitNoBroker;
        }
        if (!write(views, inPlace))
            return kExitOutput;
        if (outcome.shown == 0 && outcome.unreadable == 0)
            err << "lumenaview: no running broker found (only key files without a segment)\n";
        return outcome.exitCode();
    }

    // The brokers that match -b, decoded (errors included); says on `err`
    // when there is none.
    // With `countLocks`, the metrics' count of the named mutexes is taken
    // from the same listing of the key files.
    std::vector<BrokerView> look(Outcome& outcome, bool countLocks = false) {
        listedLocks.reset();
        std::vector<std::string> uuids;
        if (countLocks && options.filter.brokers.empty()) {
            LockCounter counter;  // counts run one at a time: held for the listing only
            uuids = findBrokers(
                [&counter](int directory, const dirent& entry) { counter.take(directory, entry); });
            listedLocks = counter.counts;
        } else {
            uuids = findBrokers();
        }
        if (uuids.empty()) {
            err << "lumenaview: no broker found: no segment key file " << kKeyFileDirectory << "*"
                << kKeyFileSuffix << " on this machine\n";
            return {};
        }
        std::vector<SegmentSource> sources;
        for (const std::string& uuid : uuids)
            sources.push_back(openSegment(uuid));
        refuseSharedSegments(sources);
        std::vector<BrokerView> views;
        for (const SegmentSource& source : sources) {
            const auto start = std::chrono::steady_clock::now();
            std::optional<BrokerView> view = lookAt(source, outcome);
            if (view && self != nullptr) {
                const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
                self->brokerRead(source.uuid, took.count(), !view->error.empty());
            }
            if (view)
                views.push_back(std::move(*view));
        }
        refusedKeyFiles = outcome.refused;
        if (outcome.refused > kRefusalsListed) {
            err << "lumenaview: " << outcome.refused - kRefusalsListed
                << " more key files refused, not listed\n";
        }
        if (outcome.looked() == 0) {
            err << "lumenaview: no broker matches";
            for (const std::string& pattern : options.filter.brokers)
                err << " --broker '" << escapeForTerminal(pattern) << "'";
            err << "; found:";
            for (const std::string& uuid : uuids)
                err << ' ' << escapeForTerminal(uuid);
            err << " (lumenaview --list shows their names)\n";
        }
        return views;
    }

    // The metrics of the brokers that match, read afresh, in one exposition.
    std::string metrics() {
        Outcome outcome;
        return metricsOf(look(outcome, true));
    }

    // One read of the segments in the formats asked for, timed per broker.
    void metrics(SelfMetrics& timing, bool text, bool openMetrics, Expositions& result) {
        self = &timing;
        Outcome outcome;
        const std::vector<BrokerView> views = look(outcome, true);
        self = nullptr;
        MachineFigures figures = lockFigures(views);
        figures.refusedKeyFiles = refusedKeyFiles;
        if (text)
            result.text = prometheusText(views, false, figures);
        if (openMetrics)
            result.openMetrics = prometheusText(views, true, figures);
    }

  private:
    // A refused key file, said once; null beyond the ones listed.
    std::optional<BrokerView> refusal(const SegmentSource& source, const Capture& capture,
                                      Outcome& outcome) {
        if (!matchesAny(options.filter.brokers, "", source.uuid))
            return std::nullopt;
        ++outcome.unreadable;
        if (++outcome.refused > kRefusalsListed)
            return std::nullopt;
        BrokerView view;
        view.uuid = source.uuid;
        view.keyFile = source.keyFile;
        view.refused = ZOV_RefusalName(capture.refusal);
        view.error = "refused: " + capture.message;
        err << "lumenaview: " << escapeForTerminal(view.error) << " (" << view.refused << ")\n";
        return view;
    }

    std::optional<BrokerView> lookAt(const SegmentSource& source, Outcome& outcome) {
        const std::string& uuid = source.uuid;
        Capture capture =
            captureSegment(source, options.retries, locateStatistics,
                           options.events ? CaptureAreas::kAll : CaptureAreas::kStatistics);
        if (capture.status == CaptureStatus::kRefused)
            return refusal(source, capture, outcome);
        if (capture.status == CaptureStatus::kNoKeyFile ||
            capture.status == CaptureStatus::kNoSegment) {
            if (!matchesAny(options.filter.brokers, "", uuid))
                return std::nullopt;
            ++outcome.absent;
            err << "lumenaview: broker " << escapeForTerminal(uuid) << ": "
                << escapeForTerminal(capture.message) << '\n';
            return std::nullopt;
        }
        BrokerView view;
        if (capture.status != CaptureStatus::kOk) {
            view.uuid = uuid;
            view.keyFile = keyFilePath(uuid);
            view.error = capture.message;
        } else {
            DecodeOptions decode;
            decode.events = options.events;
            decode.seenEvents = options.watch > 0 ? &seenEvents[uuid] : nullptr;
            view = decodeBroker(uuid, capture.image, decode);
        }
        if (view.error.empty())
            brokerLabels.remember(uuid, view.label);
        else if (view.label.empty())
            view.label = brokerLabels.recall(uuid);
        if (view.label.empty() && !view.error.empty())
            view.label = registeredName(uuid);
        if (!matchesAny(options.filter.brokers, view.label, uuid))
            return std::nullopt;
        if (!view.error.empty()) {
            ++outcome.unreadable;
            err << "lumenaview: broker " << escapeForTerminal(uuid) << ": "
                << escapeForTerminal(view.error) << '\n';
            return view;
        }
        ++outcome.shown;
        outcome.problems = outcome.problems || !view.problems.empty();
        applyFilter(view, options.filter);
        if (options.watch > 0) {  // rates between refreshes; a single look needs no copy
            const auto previous = previousViews.find(uuid);
            if (previous != previousViews.end())
                applyRates(view, previous->second);
            previousViews[uuid] = view;
        }
        return view;
    }

    std::string metricsOf(const std::vector<BrokerView>& views) const {
        MachineFigures figures = lockFigures(views);
        figures.refusedKeyFiles = refusedKeyFiles;
        return prometheusText(views, options.format == "openmetrics", figures);
    }

    // False when the --output file could not be written.
    bool write(const std::vector<BrokerView>& views, bool inPlace) {
        if (metricsFormat(options.format)) {  // tens of megabytes for a large area: one string
            const std::string exposition = metricsOf(views);
            if (!options.output.empty())
                return publish(options.output, exposition, err);
            const std::string text = terminal ? terminalSafe(exposition) : exposition;
            out.write(text.data(), static_cast<std::streamsize>(text.size())).flush();
            return true;
        }
        std::ostringstream buffer;
        std::ostream& out = options.output.empty() ? this->out : buffer;
        if (options.format == "json") {
            writeJson(out, views, options.pretty);
        } else if (options.format == "ndjson") {
            writeNdjson(out, views);
        } else if (options.table) {
            TableOptions table;
            table.sort = sortKey(options.sort);
            table.showDeleted = !options.hideDeleted;
            table.inPlace = inPlace;
            table.wide = options.wide;
            writeTable(out, views, table);
        } else {
            TextOptions text;
            text.showDeleted = !options.hideDeleted;
            text.showSegment = !options.brief;
            for (const BrokerView& view : views)
                writeText(out, view, text);
        }
        out.flush();
        return options.output.empty() || publish(options.output, buffer.str(), err);
    }

    // Stale and refused named mutexes of the brokers shown (of every broker
    // when -b is not given: then counted from the key files alone, without
    // reading the segments again, as a scrape of a large area needs).
    MachineFigures lockFigures(const std::vector<BrokerView>& views) const {
        MachineFigures figures;
        if (options.filter.brokers.empty()) {
            const LockCounts counts = listedLocks ? *listedLocks : countLocks();
            figures.staleLocks = counts.stale;
            figures.refusedLocks = counts.refused;
            return figures;
        }
        std::vector<std::string> uuids;
        for (const BrokerView& view : views) {
            if (view.refused.empty())
                uuids.push_back(view.uuid);
        }
        const std::vector<LockView> locks = listLocks(uuids);
        const auto count = [&locks](LockState state) {
            return static_cast<int>(
                std::count_if(locks.begin(), locks.end(),
                              [state](const LockView& l) { return l.state == state; }));
        };
        figures.staleLocks = count(LockState::kStale);
        figures.refusedLocks = count(LockState::kRefused);
        return figures;
    }

    const Options& options;
    std::ostream& out;
    std::ostream& err;
    const bool terminal;                    // standard output is a terminal
    int refusedKeyFiles = 0;                // in the last look
    std::optional<LockCounts> listedLocks;  // counted in the last look
    std::map<std::string, BrokerView> previousViews;
    std::map<std::string, std::unordered_set<std::string>> seenEvents;
    SelfMetrics* self = nullptr;
};

// The UUIDs of the brokers that match -b, for --locks.
std::vector<std::string> matchingUuids(const Options& options, std::ostream& err) {
    if (options.filter.brokers.empty())
        return {};
    Options quiet = options;
    quiet.filter = Filter{};
    quiet.filter.brokers = options.filter.brokers;
    std::ostringstream ignored;
    Viewer viewer(quiet, ignored, err);
    Outcome outcome;
    std::vector<std::string> uuids;
    for (const BrokerView& view : viewer.look(outcome)) {
        if (view.refused.empty())
            uuids.push_back(view.uuid);
    }
    return uuids.empty() ? options.filter.brokers : uuids;
}

int showLocks(const Options& options, std::ostream& out, std::ostream& err) {
    const std::vector<LockView> locks = listLocks(matchingUuids(options, err));
    if (locks.empty()) {
        err << "lumenaview: no named mutex: no key file " << kKeyFileDirectory << "*.zovmutx\n";
        if (options.format == "json")
            writeLocksJson(out, locks, options.pretty);  // still a document: []
        return kExitNoBroker;
    }
    if (options.format == "json")
        writeLocksJson(out, locks, options.pretty);
    else
        writeLocksText(out, locks);
    const bool trouble = std::any_of(locks.begin(), locks.end(), [](const LockView& lock) {
        return lock.state == LockState::kStale || lock.state == LockState::kOverReleased ||
               !lock.sameKeyAs.empty();
    });
    return trouble ? kExitPartial : kExitOk;
}

int releaseLock(const Options& options, std::istream& in, std::ostream& out, std::ostream& err) {
    switch (releaseStale(lockKeyFile(options.releaseStale), options.yes, in, out, err)) {
        case ReleaseOutcome::kReleased:
            return kExitOk;
        case ReleaseOutcome::kNotFound:
            return kExitNoBroker;
        case ReleaseOutcome::kFailed:
            return kExitUnreadable;
        default:
            return kExitPartial;
    }
}

// Execution-group processes alive, each counted once.
int processesAlive(const BrokerView& view) {
    std::set<int> alive;
    for (const GroupView& group : view.groups) {
        if (group.process == ProcessState::kAlive)
            alive.insert(group.processId);
    }
    return static_cast<int>(alive.size());
}

int listBrokers(const Options& options, std::ostream& out, std::ostream& err) {
    Options quiet = options;
    quiet.events = false;
    Viewer viewer(quiet, out, err);
    Outcome outcome;
    const std::vector<BrokerView> views = viewer.look(outcome);
    if (views.empty())
        return kExitNoBroker;
    size_t width = 4;
    for (const BrokerView& view : views)
        width = std::max(width, displayWidth(escapeForTerminal(view.label)));
    const auto column = [](const std::string& text, size_t width) {
        const size_t used = displayWidth(text);
        return text + std::string(width > used ? width - used + 2 : 2, ' ');
    };
    out << column("NAME", width) << column("UUID", 36) << "PROCESSES  SEGMENT\n";
    for (const BrokerView& view : views) {
        out << column(view.label.empty() ? "?" : escapeForTerminal(view.label), width)
            << column(escapeForTerminal(view.uuid), 36);
        if (!view.refused.empty()) {
            out << escapeForTerminal(view.error) << '\n';
        } else if (view.error.empty()) {
            out << std::setw(9) << processesAlive(view) << "  " << formatBytes(view.segmentSize)
                << '\n';
        } else {
            out << "unreadable: " << escapeForTerminal(view.error) << '\n';
        }
    }
    return outcome.exitCode();
}

// Sleeps in short steps so that an interrupt ends the watch promptly.
void pause(double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!interrupted && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

int watch(const Options& options, Viewer& viewer, std::ostream& out, bool interactive) {
    interrupted = false;
    const auto previousInt = std::signal(SIGINT, onInterrupt);
    const auto previousTerm = std::signal(SIGTERM, onInterrupt);
    const bool inPlace = interactive && options.format == "text";
    int code = kExitOk;
    for (int n = 1; !interrupted; ++n) {
        if (inPlace)
            out << (options.table ? "\033[H" : "\033[H\033[2J");
        if (options.format == "text" && !options.table) {
            out << "=== lumenaview " << formatLocalUnix(std::time(nullptr)) << ", every "
                << options.watch << " s (interrupt to stop) ===\n";
        }
        code = viewer.refresh(inPlace);
        if (inPlace && options.table)
            out << "\033[J" << std::flush;  // what the previous screen had below
        if (options.count > 0 && n >= options.count)
            break;
        pause(options.watch);
    }
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    return code;
}

// One exposition as a scrape gets it.
std::string scrapeMetrics(const Options& options, bool openMetrics) {
    Options once = options;
    once.format = openMetrics ? "openmetrics" : "prometheus";
    std::ostringstream unused, quiet;
    return Viewer(once, unused, quiet).metrics();
}

std::atomic<bool> hangup{false};
void onHangup(int) {
    hangup = true;
}

// Where to serve: --listen and every --web.listen-address, or the default
// port when only the other serving options are given. Says what is wrong.
bool endpointsOf(const Options& options, std::vector<Endpoint>& endpoints, std::ostream& err) {
    std::vector<std::string> addresses = options.webListen;
    if (!options.listen.empty())
        addresses.insert(addresses.begin(), options.listen);
    if (addresses.empty())
        addresses.push_back(":" + std::to_string(kDefaultPort));
    for (const std::string& address : addresses) {
        Endpoint endpoint;
        if (!parseEndpoint(address, endpoint)) {
            err << "lumenaview: '" << escapeForTerminal(address)
                << "' is not [ADDR]:PORT, e.g. 127.0.0.1:" << kDefaultPort
                << ", [::1]:" << kDefaultPort << " or :" << kDefaultPort << '\n';
            return false;
        }
        endpoints.push_back(endpoint);
    }
    return true;
}

// A path that goes into a request line and the index page unescaped.
bool plainPath(const std::string& path) {
    return path.size() > 1 && path.front() == '/' &&
           std::all_of(path.begin(), path.end(), [](char c) {
               return c > 0x20 && c < 0x7f && std::strchr("?#\"<>\\", c) == nullptr;
           });
}

// Serves the metrics until interrupted; a capture thread reads the segments
// afresh for the scrapes that wait (lumenaview_http.h).
int serve(const Options& options, std::ostream& err) {
    ServeOptions serving;
    serving.telemetryPath = options.telemetryPath;
    serving.webConfigFile = options.webConfig;
    if (!endpointsOf(options, serving.endpoints, err))
        return kExitUsage;
    if (!plainPath(options.telemetryPath)) {
        err << "lumenaview: --web.telemetry-path needs a path like /metrics (no spaces, ?, #, "
               "quotes or angle brackets)\n";
        return kExitUsage;
    }
    SelfMetrics self;
    const Scrape scrape = [&options, &self](bool text, bool openMetrics, Expositions& result) {
        std::ostringstream unused, quiet;
        Viewer(options, unused, quiet).metrics(self, text, openMetrics, result);
    };
    // The library settles its configuration file path on first use, without
    // a lock (in the broker one thread makes that first call): make it here,
    // before the capture thread decodes segments.
    ZOV_Environment_Registry(nullptr);
    interrupted = false;
    hangup = false;
    const auto previousInt = std::signal(SIGINT, onInterrupt);
    const auto previousTerm = std::signal(SIGTERM, onInterrupt);
    const auto previousHup = std::signal(SIGHUP, onHangup);
    const auto previousPipe = std::signal(SIGPIPE, SIG_IGN);
    const ServeResult result = serveMetrics(
        serving, scrape, self, [] { return interrupted.load(); },
        [] { return hangup.exchange(false); }, err);
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    std::signal(SIGHUP, previousHup);
    std::signal(SIGPIPE, previousPipe);
    return result == ServeResult::kStopped ? kExitOk : kExitOutput;
}

}  // namespace

std::string scrapeMetrics(bool openMetrics) {
    setBrokerUsers(ZOV_Trusted_Users());
    return scrapeMetrics(Options{}, openMetrics);
}

int runLumenaview(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                  bool interactive, std::istream& in) {
    CLI::App app("", "lumenaview");
    Options options;
    buildCommandLine(app, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e, out, err) == 0 ? kExitOk : kExitUsage;
    }
    if (const std::string conflict = conflicts(options); !conflict.empty()) {
        err << "lumenaview: " << conflict << "\nRun with --help for more information.\n";
        return kExitUsage;
    }
    trustBrokerUsers(options, err);
    if (options.list)
        return listBrokers(options, out, err);
    if (options.locks)
        return showLocks(options, out, err);
    if (!options.releaseStale.empty())
        return releaseLock(options, in, out, err);
    if (!options.listen.empty() || !options.webListen.empty() || !options.webConfig.empty() ||
        app.count("--web.telemetry-path") > 0)
        return serve(options, err);
    if (options.watch > 0 && metricsFormat(options.format) && options.output.empty()) {
        err << "lumenaview: --watch with --format " << options.format
            << " would run expositions together on standard output; give --output FILE for a "
               "text-file collector, or serve them with --listen ADDR:PORT\n";
        return kExitUsage;
    }
    Viewer viewer(options, out, err, interactive);
    if (options.watch > 0)
        return watch(options, viewer, out, interactive);
    return viewer.refresh();
}

}  // namespace lumenaview
