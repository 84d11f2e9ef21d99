#include "tools/lumenaview_app.h"

#include <fcntl.h>
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
#include <iomanip>
#include <map>
#include <mutex>
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
    "It never creates, changes or removes a segment, file or lock, so it cannot disturb\n"
    "or stall a running broker. Brokers are found by their key files /tmp/<UUID>.zovcshme.\n"
    "\n"
    "--locks lists the named mutexes (semaphores) of the brokers: free, held, or STALE\n"
    "when the process that took it has ended without freeing it (killed while updating),\n"
    "which stalls every later taker. --release-stale frees one such mutex, after asking:\n"
    "the only change lumenaview ever makes.\n";

constexpr char kFooter[] =
    "Examples:\n"
    "  lumenaview                      every broker, as text\n"
    "  lumenaview -b DEMO_BROKER       one broker, by name or UUID (shell globs: -b 'DEMO*')\n"
    "  lumenaview --node 'In*'         only the nodes whose label starts with In (sums of those)\n"
    "  lumenaview -w 2 --table --sort rate\n"
    "                                  one line per node, refreshed in place every 2 s\n"
    "  lumenaview -e -w 1              follow the events as they come\n"
    "  lumenaview -f json              every broker in one JSON document (an array)\n"
    "  lumenaview -f ndjson -w 5       one JSON line per broker every 5 seconds\n"
    "  lumenaview -f prometheus -o /var/lib/node_exporter/lumena.prom -w 15\n"
    "                                  metrics for a text-file collector, rewritten\n"
    "  lumenaview --listen 127.0.0.1:9464\n"
    "                                  serve /metrics to a Prometheus server\n"
    "  lumenaview --list               name, UUID, processes and segment size of each broker\n"
    "  lumenaview --locks              the named mutexes and who holds them\n"
    "  lumenaview --release-stale /tmp/<name>.zovmutx\n"
    "                                  free a mutex whose holder has ended\n"
    "\n"
    "Exit codes:\n"
    "  0   everything was shown\n"
    "  1   shown, but something was wrong (corrupt area, unstable statistics record,\n"
    "      or a broker that could not be read while others could)\n"
    "  2   no broker found (no key file, only key files without a segment, or none\n"
    "      matching --broker)\n"
    "  3   no broker could be read (permission denied, foreign or truncated segment)\n"
    "  4   the --output file could not be written, or --listen could not bind\n"
    "  64  wrong usage\n"
    "With --watch, the code is that of the last refresh.\n"
    "--locks: 0 none stale, 1 a stale, over-released or shared-key mutex, 2 no key file.\n"
    "--release-stale: 0 released, 1 not stale, declined or changed meanwhile, 2 no such\n"
    "mutex, 3 the release failed.\n";

struct Options {
    Filter filter;
    std::string format = "text";
    bool table = false;
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
    std::string listen;  // ADDR:PORT to serve the metrics on
    std::string output;  // file to replace atomically with each refresh
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
    app.add_option("--listen", o.listen,
                   "Serve the metrics over HTTP on ADDR:PORT (GET /metrics, /-/healthy), read "
                   "afresh at each request; runs until interrupted")
        ->type_name("ADDR:PORT")
        ->excludes(format)
        ->excludes(watch)
        ->excludes(output)
        ->excludes("--events")
        ->excludes("--list")
        ->excludes("--locks");
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
                 "Text: one line per node (messages, messages/s, average and maximum size and "
                 "queued time, average elapsed time) instead of the full tree; with --watch "
                 "on a terminal the screen is rewritten in place");
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

void buildCommandLine(CLI::App& app, Options& o) {
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
    addMetricsOptions(app, o, app.get_option("--format"), app.get_option("--watch"));
}

// Combinations that the parser cannot check; "" when the options agree.
std::string conflicts(const Options& o) {
    if (o.format == "json" && o.watch > 0)
        return "--format json writes one document per run; with --watch use --format ndjson";
    if (o.table && o.format != "text")
        return "--table is a text form; it does not go with --format " + o.format;
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
    int unreadable = 0;  // denied, foreign, truncated, failed
    bool problems = false;

    int exitCode() const {
        if (shown == 0)
            return unreadable > 0 ? kExitUnreadable : kExitNoBroker;
        return problems || absent > 0 || unreadable > 0 ? kExitPartial : kExitOk;
    }
};

SortKey sortKey(const std::string& name) {
    return name == "rate"       ? SortKey::kRate
           : name == "messages" ? SortKey::kMessages
           : name == "queued"   ? SortKey::kQueued
                                : SortKey::kName;
}

class Viewer {
  public:
    Viewer(const Options& options, std::ostream& out, std::ostream& err)
        : options(options), out(out), err(err) {}

    // Looks at every broker that matches and shows them; `inPlace` rewrites
    // the table from the top of the screen.
    int refresh(bool inPlace = false) {
        Outcome outcome;
        const std::vector<BrokerView> views = look(outcome);
        if (outcome.shown + outcome.absent + outcome.unreadable == 0) {
            // Metrics still say that there is none, rather than vanish.
            if (metricsFormat(options.format) && !write({}, false))
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
    std::vector<BrokerView> look(Outcome& outcome) {
        const std::vector<std::string> uuids = findBrokers();
        if (uuids.empty()) {
            err << "lumenaview: no broker found: no segment key file " << kKeyFileDirectory << "*"
                << kKeyFileSuffix << " on this machine\n";
            return {};
        }
        std::vector<BrokerView> views;
        for (const std::string& uuid : uuids) {
            if (std::optional<BrokerView> view = lookAt(uuid, outcome))
                views.push_back(std::move(*view));
        }
        if (outcome.shown + outcome.absent + outcome.unreadable == 0) {
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
        return metricsOf(look(outcome));
    }

  private:
    std::optional<BrokerView> lookAt(const std::string& uuid, Outcome& outcome) {
        Capture capture =
            captureSegment(uuid, options.retries, locateStatistics,
                           options.events ? CaptureAreas::kAll : CaptureAreas::kStatistics);
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
        return prometheusText(views, options.format == "openmetrics", staleLocks(views));
    }

    // False when the --output file could not be written.
    bool write(const std::vector<BrokerView>& views, bool inPlace) {
        if (metricsFormat(options.format)) {  // tens of megabytes for a large area: one string
            const std::string text = metricsOf(views);
            if (!options.output.empty())
                return publish(options.output, text, err);
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

    // Stale named mutexes of the brokers shown (of every broker when -b is
    // not given: then counted from the key files alone, without reading the
    // segments again, as a scrape of a large area needs).
    int staleLocks(const std::vector<BrokerView>& views) const {
        if (options.filter.brokers.empty())
            return countStaleLocks();
        std::vector<std::string> uuids;
        for (const BrokerView& view : views)
            uuids.push_back(view.uuid);
        const std::vector<LockView> locks = listLocks(uuids);
        return static_cast<int>(std::count_if(locks.begin(), locks.end(), [](const LockView& l) {
            return l.state == LockState::kStale;
        }));
    }

    const Options& options;
    std::ostream& out;
    std::ostream& err;
    std::map<std::string, BrokerView> previousViews;
    std::map<std::string, std::unordered_set<std::string>> seenEvents;
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
    for (const BrokerView& view : viewer.look(outcome))
        uuids.push_back(view.uuid);
    return uuids.empty() ? options.filter.brokers : uuids;
}

int showLocks(const Options& options, std::ostream& out, std::ostream& err) {
    const std::vector<LockView> locks = listLocks(matchingUuids(options, err));
    if (locks.empty()) {
        err << "lumenaview: no named mutex: no key file " << kKeyFileDirectory << "*.zovmutx\n";
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
        out << column(view.error.empty() ? escapeForTerminal(view.label) : "?", width)
            << column(escapeForTerminal(view.uuid), 36);
        if (view.error.empty()) {
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

// Serves the metrics until interrupted; each scrape reads the segments afresh
// with a viewer of its own, so that scrapes run side by side.
int serve(const Options& options, std::ostream& err) {
    Endpoint endpoint;
    if (!parseEndpoint(options.listen, endpoint)) {
        err << "lumenaview: --listen needs ADDR:PORT, e.g. 127.0.0.1:9464 or [::1]:9464\n";
        return kExitUsage;
    }
    const Scrape scrape = [&options](bool openMetrics) {
        return scrapeMetrics(options, openMetrics);
    };
    // The library settles its configuration file path on first use, without
    // a lock (in the broker one thread makes that first call): make it here,
    // before the workers that decode segments side by side start.
    ZOV_Environment_Registry(nullptr);
    interrupted = false;
    const auto previousInt = std::signal(SIGINT, onInterrupt);
    const auto previousTerm = std::signal(SIGTERM, onInterrupt);
    const auto previousPipe = std::signal(SIGPIPE, SIG_IGN);
    const bool served = serveMetrics(
        endpoint, scrape, [] { return interrupted.load(); }, err);
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    std::signal(SIGPIPE, previousPipe);
    return served ? kExitOk : kExitOutput;
}

}  // namespace

std::string scrapeMetrics(bool openMetrics) {
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
    if (options.list)
        return listBrokers(options, out, err);
    if (options.locks)
        return showLocks(options, out, err);
    if (!options.releaseStale.empty())
        return releaseLock(options, in, out, err);
    if (!options.listen.empty())
        return serve(options, err);
    if (options.watch > 0 && metricsFormat(options.format) && options.output.empty()) {
        err << "lumenaview: --watch with --format " << options.format
            << " would run expositions together on standard output; give --output FILE for a "
               "text-file collector, or serve them with --listen ADDR:PORT\n";
        return kExitUsage;
    }
    Viewer viewer(options, out, err);
    if (options.watch > 0)
        return watch(options, viewer, out, interactive);
    return viewer.refresh();
}

}  // namespace lumenaview
