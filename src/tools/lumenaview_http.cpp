#include "tools/lumenaview_http.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <utility>

#include "tools/lumenaview_request.h"
#include "tools/lumenaview_webconfig.h"

namespace lumenaview {

namespace {

using Clock = std::chrono::steady_clock;
using Body = std::shared_ptr<const std::string>;

// Runs jobs one after another on a thread of its own.
class Worker {
  public:
    Worker() : thread([this] { run(); }) {}
    ~Worker() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_one();
        thread.join();
    }
    void post(std::function<void()> job) {
        std::lock_guard lock(mutex);
        jobs.push_back(std::move(job));
        wake.notify_one();
    }

  private:
    void run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stopping || !jobs.empty(); });
                if (stopping)
                    return;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            job();
        }
    }
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    bool stopping = false;
    std::thread thread;  // last: starts when the rest is ready
};

// Results that the workers hand back to the serving thread, which an eventfd
// in its epoll set wakes.
class Mailbox {
  public:
    Mailbox() : fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Mailbox() { close(fd); }
    void post(std::function<void()> item) {
        std::lock_guard lock(mutex);
        items.push_back(std::move(item));
        const uint64_t one = 1;
        (void)!write(fd, &one, sizeof one);
    }
    std::vector<std::function<void()>> take() {
        uint64_t count = 0;
        (void)!read(fd, &count, sizeof count);
        std::lock_guard lock(mutex);
        return std::exchange(items, {});
    }
    const int fd;

  private:
    std::mutex mutex;
    std::vector<std::function<void()>> items;
};

enum class Phase { kHandshake, kHead, kWaiting, kWriting, kLinger };
enum class Target { kIndex, kHealthy, kMetrics };
enum class Io { kProgress, kBlocked, kClosed };

struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

struct Connection {
    explicit Connection(int fd) : fd(fd) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { close(fd); }

    const int fd;
    std::string address;   // the client's, for the per-address count
    bool refused = false;  // over a limit: read, then answered 503
    std::unique_ptr<SSL, SslFree> ssl;
    Phase phase = Phase::kHead;
    Clock::time_point deadline;
    std::string head;
    Target target = Target::kIndex;
    bool headOnly = false;
    bool openMetrics = false;
    std::string response;  // status line and header fields
    Body body;
    size_t sent = 0;  // of response, then of body
};

// Password checks one client address may have queued: a flood of guesses from
// one address leaves the rest of the queue to the others' first scrapes.
constexpr size_t kPasswordChecksPerAddress = 2;

constexpr uint64_t kMailboxId = ~uint64_t{0};
constexpr uint64_t kListenerBase = uint64_t{1} << 62;

Body textBody(std::string text) {
    return std::make_shared<const std::string>(std::move(text));
}

// A digest of the credentials, so that the cache of accepted ones holds no
// password.
std::string credentialsKey(const std::string& user, const std::string& password) {
    const std::string text = user + '\0' + password;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), length);
}

std::string clientAddress(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text,
                  sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6))  // the same client as over IPv4
            inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
        else
            inet_ntop(AF_INET6, &v6, text, sizeof text);
    }
    return text;
}

// A listening socket of the process's own on `endpoint`: SO_REUSEADDR (a
// restart need not wait for old connections), never SO_REUSEPORT (a second
// exporter on the port must fail, not share it). -1 with `why` set.
int openListener(Endpoint& endpoint, std::string& why) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(endpoint.port);
    if (const int rc = getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        why = gai_strerror(rc);
        return -1;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(found, freeaddrinfo);
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int yes = 1, v6only = endpoint.dualStack ? 0 : 1;
    const bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
                    (found->ai_family != AF_INET6 ||
                     setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) == 0) &&
                    bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0;
    if (!ok) {
        why = std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    endpoint.port =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                          : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    return fd;
}

// Raises the soft limit of open files to the hard one: every client
// connection is a descriptor.
size_t raiseFileLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur;
}

constexpr char kIndexHead[] =
    "<html><head><title>lumenaview</title></head><body>\n"
    "<h1>lumenaview</h1>\n"
    "<p>Monitoring node statistics of the brokers on this machine.</p>\n";

class Server {
  public:
    Server(const ServeOptions& options, const Scrape& scrape, SelfMetrics& self, std::ostream& err)
        : options(options),
          scrape(scrape),
          self(self),
          err(err),
          poller(epoll_create1(EPOLL_CLOEXEC)) {
        const size_t files = raiseFileLimit();
        // Descriptors kept back for listeners, segments and logs, even under a
        // low limit: were connections to take them all, accept would fail with
        // the listener still ready, a busy loop.
        const size_t spare = files > 128 ? files - 64 : files / 2;
        connectionLimit = std::min(kConnectionLimit, spare * 3 / 4);
        refusingLimit = std::min(kRefusingLimit, spare / 4);
        indexPage = textBody(std::string(kIndexHead) + "<ul><li><a href=\"" +
                             options.telemetryPath + "\">" + options.telemetryPath +
                             "</a></li><li><a href=\"/-/healthy\">/-/healthy</a></li></ul>\n"
                             "</body></html>\n");
    }
    ~Server() {
        for (const int fd : listeners)
            close(fd);
        close(poller);
    }

    ServeResult start() {
        if (!options.webConfigFile.empty() && !configure())
            return ServeResult::kBadWebConfig;
        for (Endpoint endpoint : options.endpoints) {
            std::string why;
            int fd = openListener(endpoint, why);
            if (fd < 0 && endpoint.dualStack && errno == EAFNOSUPPORT) {  // no IPv6 here
                endpoint = {"0.0.0.0", endpoint.port, false};
                fd = openListener(endpoint, why);
            }
            if (fd < 0) {
                err << "lumenaview: cannot listen on " << endpoint.host << ':' << endpoint.port
                    << ": " << why << '\n';
                return ServeResult::kCannotListen;
            }
            watch(fd, kListenerBase + listeners.size(), EPOLLIN);
            listeners.push_back(fd);
            const bool v6 = endpoint.host.find(':') != std::string::npos;
            err << "lumenaview: listening on " << (tls ? "https" : "http") << "://"
                << (v6 ? "[" : "") << endpoint.host << (v6 ? "]" : "") << ':' << endpoint.port
                << options.telemetryPath << std::endl;
        }
        watch(mailbox.fd, kMailboxId, EPOLLIN);
        return ServeResult::kStopped;
    }

    void run(const std::function<bool()>& stop, const std::function<bool()>& reload) {
        epoll_event events[256];
        auto nextSweep = Clock::now();
        while (!stop()) {
            if (reload())
                configure();
            const int n = epoll_wait(poller, events, 256, again.empty() ? 100 : 0);
            for (int i = 0; i < n; ++i)
                dispatch(events[i].data.u64);
            for (const uint64_t id : std::exchange(again, {}))
                drive(id);
            if (Clock::now() >= nextSweep) {
                sweep();
                nextSweep = Clock::now() + std::chrono::milliseconds(100);
            }
        }
    }

  private:
    // (Re)reads the web configuration; on failure the old one stays.
    bool configure() {
        std::string error;
        std::optional<WebConfig> loaded = loadWebConfig(options.webConfigFile, error);
        TlsContext context;
        if (loaded && loaded->tls)
            context = makeTlsContext(*loaded, error);
        if (!loaded || (loaded->tls && !context)) {
            err << "lumenaview: " << error << (config ? " (keeping the previous one)" : "")
                << std::endl;
            return false;
        }
        if (config)
            err << "lumenaview: web config " << options.webConfigFile << " reloaded" << std::endl;
        config = std::make_shared<const WebConfig>(std::move(*loaded));
        tls = std::move(context);
        acceptedCredentials.clear();
        return true;
    }

    void watch(int fd, uint64_t id, uint32_t events) {
        epoll_event event{};
        event.events = events;
        event.data.u64 = id;
        epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event);
    }

    void dispatch(uint64_t id) {
        if (id == kMailboxId) {
            for (auto& item : mailbox.take())
                item();
        } else if (id >= kListenerBase) {
            acceptFrom(listeners[id - kListenerBase]);
        } else {
            drive(id);
        }
    }

    // Takes a batch of waiting connections (the listener is level-triggered:
    // the rest come at the next turn, after the other connections' events).
    void acceptFrom(int listener) {
        for (int i = 0; i < 64; ++i) {
            sockaddr_storage address{};
            socklen_t length = sizeof address;
            const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&address), &length,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                return;
            admit(fd, clientAddress(address));
        }
    }

    void admit(int fd, std::string address) {
        auto connection = std::make_unique<Connection>(fd);
        Connection& c = *connection;
        c.address = std::move(address);
        c.refused = admitted >= connectionLimit || perAddress[c.address] >= kPerAddressLimit;
        if (c.refused) {
            self.refused("limit");
            if (refusing >= refusingLimit)
                return;  // closed unread: even the refusals are at their limit
        }
        (c.refused ? refusing : admitted) += 1;
        if (!c.refused)
            ++perAddress[c.address];
        c.deadline = Clock::now() + (c.refused ? kRefusalDeadline : kHeadDeadline);
        if (tls) {
            c.ssl.reset(SSL_new(tls.get()));
            SSL_set_fd(c.ssl.get(), fd);
            c.phase = Phase::kHandshake;
        }
        const uint64_t id = nextId++;
        connections.emplace(id, std::move(connection));
        watch(fd, id, EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET);
    }

    void drop(uint64_t id) {
        const auto it = connections.find(id);
        if (it == connections.end())
            return;
        Connection& c = *it->second;
        if (c.refused) {
            --refusing;
        } else {
            --admitted;
            if (--perAddress[c.address] == 0)
                perAddress.erase(c.address);
        }
        connections.erase(it);  // closing the socket takes it out of the epoll set
    }

    Connection* find(uint64_t id) {
        const auto it = connections.find(id);
        return it == connections.end() ? nullptr : it->second.get();
    }

    // Moves the connection on as far as its socket allows. Edge-triggered: each
    // phase goes on until the socket would block, or puts the connection on
    // `again` when it yields its turn with work left.
    void drive(uint64_t id) {
        Connection* c = find(id);
        for (int turns = 0; c != nullptr; ++turns) {
            if (turns == 64) {  // a fast client of a large exposition: let the others in
                again.push_back(id);
                return;
            }
            Io io = Io::kBlocked;
            switch (c->phase) {
                case Phase::kHandshake:
                    io = handshake(*c);
                    break;
                case Phase::kHead:
                    io = readHead(id, *c);
                    break;
                case Phase::kWaiting:
                    return;
                case Phase::kWriting:
                    io = writeResponse(*c);
                    break;
                case Phase::kLinger:
                    io = drain(*c);
                    break;
            }
            if (io == Io::kClosed)
                drop(id);
            if (io != Io::kProgress)
                return;
        }
    }

    Io sslResult(Connection& c, int rc) {
        const int error = SSL_get_error(c.ssl.get(), rc);
        ERR_clear_error();
        return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? Io::kBlocked
                                                                             : Io::kClosed;
    }

    Io handshake(Connection& c) {
        const int rc = SSL_accept(c.ssl.get());
        if (rc != 1)
            return sslResult(c, rc);
        c.phase = Phase::kHead;
        return Io::kProgress;
    }

    Io readSome(Connection& c, char* buffer, size_t size, size_t& got) {
        if (c.ssl) {
            const int rc = SSL_read(c.ssl.get(), buffer, static_cast<int>(size));
            if (rc <= 0)
                return sslResult(c, rc);
            got = static_cast<size_t>(rc);
            return Io::kProgress;
        }
        const ssize_t n = recv(c.fd, buffer, size, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return Io::kBlocked;
        if (n <= 0)
            return Io::kClosed;
        got = static_cast<size_t>(n);
        return Io::kProgress;
    }

    Io readHead(uint64_t id, Connection& c) {
        char buffer[kHeadLimit];
        size_t got = 0;
        const Io io = readSome(c, buffer, kHeadLimit - c.head.size(), got);
        if (io != Io::kProgress)
            return io;
        c.head.append(buffer, got);
        size_t end = c.head.find("\r\n\r\n");
        if (end == std::string::npos)
            end = c.head.find("\n\n");
        if (end != std::string::npos)
            onRequest(id, c, std::string_view(c.head).substr(0, end + 1));
        else if (c.head.size() >= kHeadLimit)
            respond(c, 431);
        return Io::kProgress;
    }

    Io writeSome(Connection& c, const char* data, size_t size, size_t& put) {
        size = std::min<size_t>(size, 1 << 18);
        if (c.ssl) {
            const int rc = SSL_write(c.ssl.get(), data, static_cast<int>(size));
            if (rc <= 0)
                return sslResult(c, rc);
            put = static_cast<size_t>(rc);
            return Io::kProgress;
        }
        const ssize_t n = send(c.fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return Io::kBlocked;
        if (n <= 0)
            return Io::kClosed;
        put = static_cast<size_t>(n);
        return Io::kProgress;
    }

    Io writeResponse(Connection& c) {
        const size_t total = c.response.size() + (c.body ? c.body->size() : 0);
        if (c.sent == total) {
            // All written: tell the client, then read what it still sends until
            // it closes, so that closing never resets a response unread.
            if (c.ssl)
                SSL_shutdown(c.ssl.get());
            shutdown(c.fd, SHUT_WR);
            c.phase = Phase::kLinger;
            c.deadline = Clock::now() + kLinger;
            return Io::kProgress;
        }
        const bool inHead = c.sent < c.response.size();
        const char* data =
            inHead ? c.response.data() + c.sent : c.body->data() + (c.sent - c.response.size());
        const size_t left = inHead ? c.response.size() - c.sent : total - c.sent;
        size_t put = 0;
        const Io io = writeSome(c, data, left, put);
        if (io == Io::kProgress) {
            c.sent += put;
            c.deadline = Clock::now() + kWriteIdle;
        }
        return io;
    }

    Io drain(Connection& c) {
        char buffer[16384];
        const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return Io::kBlocked;
        return n <= 0 ? Io::kClosed : Io::kProgress;
    }

    void respond(Connection& c, int status, Body body = nullptr,
                 const char* contentType = "text/plain; charset=utf-8",
                 const std::string& fields = "") {
        if (!body && !(status == 200 && c.target == Target::kMetrics))
            body = textBody(std::to_string(status) + ' ' + reasonPhrase(status) + '\n');
        c.response = "HTTP/1.1 " + std::to_string(status) + ' ' + reasonPhrase(status) +
                     "\r\nContent-Type: " + contentType + "\r\n";
        if (body)
            c.response += "Content-Length: " + std::to_string(body->size()) + "\r\n";
        c.response += fields + "Connection: close\r\n\r\n";
        c.body = c.headOnly ? nullptr : std::move(body);
        c.sent = 0;
        c.phase = Phase::kWriting;
        c.deadline = Clock::now() + kWriteIdle;
    }

    void refuse(Connection& c) {
        respond(c, 503, nullptr, "text/plain; charset=utf-8", "Retry-After: 5\r\n");
    }

    // A whole request head has come: decided on it alone, no body is read.
    void onRequest(uint64_t id, Connection& c, std::string_view head) {
        const Request request = parseHead(head);
        c.headOnly = request.method == "HEAD";
        if (c.refused)
            return refuse(c);
        if (request.status != 0)
            return respond(c, request.status);
        if (!knownMethod(request.method))
            return respond(c, 501, nullptr, "text/plain; charset=utf-8", "Allow: GET, HEAD\r\n");
        if (request.path == options.telemetryPath)
            c.target = Target::kMetrics;
        else if (request.path == "/-/healthy")
            c.target = Target::kHealthy;
        else if (request.path != "/")
            return respond(c, 404);
        if (request.method != "GET" && request.method != "HEAD")
            return respond(c, 405, nullptr, "text/plain; charset=utf-8", "Allow: GET, HEAD\r\n");
        c.openMetrics = request.accept.find("application/openmetrics-text") != std::string::npos;
        if (config && !config->users.empty())
            return authenticate(id, c, request.authorization);
        serve(id, c);
    }

    // Accepted credentials are remembered (as digests) so that a scraper pays
    // for bcrypt once, not at every scrape; new ones are checked on a thread of
    // their own so that a flood of guesses never holds up the serving thread.
    void authenticate(uint64_t id, Connection& c, const std::string& header) {
        std::string user, password;
        if (!basicCredentials(header, user, password))
            return unauthorized(c);
        const std::string key = credentialsKey(user, password);
        if (acceptedCredentials.count(key))
            return serve(id, c);
        const auto held = checksByAddress.find(c.address);
        if (passwordChecks >= kPasswordQueueLimit ||
            (held != checksByAddress.end() && held->second >= kPasswordChecksPerAddress)) {
            self.refused("busy");
            return refuse(c);
        }
        ++passwordChecks;
        ++checksByAddress[c.address];
        c.phase = Phase::kWaiting;
        passwordWorker.post([this, id, key, user, password, users = config, address = c.address] {
            const auto it = users->users.find(user);
            // An unknown user costs a check against a configured user's hash
            // (of the same cost), so that timing does not tell which exist.
            const bool known = it != users->users.end();
            const std::string& hash = known ? it->second : users->users.begin()->second;
            const bool match = passwordMatches(hash, password);
            mailbox.post([this, id, key, ok = known && match, users, address] {
                --passwordChecks;
                if (--checksByAddress[address] == 0)
                    checksByAddress.erase(address);
                Connection* c = find(id);
                if (c == nullptr)
                    return;
                if (!ok) {
                    unauthorized(*c);
                } else {
                    if (users == config) {  // not from a configuration replaced meanwhile
                        if (acceptedCredentials.size() >= 64)
                            acceptedCredentials.clear();
                        acceptedCredentials.insert(key);
                    }
                    serve(id, *c);
                }
                drive(id);
            });
        });
    }

    void unauthorized(Connection& c) {
        respond(c, 401, nullptr, "text/plain; charset=utf-8",
                "WWW-Authenticate: Basic realm=\"lumenaview\", charset=\"UTF-8\"\r\n");
    }

    void serve(uint64_t id, Connection& c) {
        if (c.target == Target::kHealthy)
            return respond(c, 200, textBody("OK\n"));
        if (c.target == Target::kIndex)
            return respond(c, 200, indexPage, "text/html; charset=utf-8");
        if (c.headOnly)  // the head of a scrape, without reading a segment
            return respond(c, 200, nullptr, contentType(c.openMetrics));
        c.phase = Phase::kWaiting;
        scrapeWaiting.push_back(id);
        startCapture();
    }

    static const char* contentType(bool openMetrics) {
        return openMetrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                           : "text/plain; version=0.0.4; charset=utf-8";
    }

    // Single flight: one capture at a time, shared by every scrape waiting
    // when it starts. A scrape that comes during a capture waits for the next
    // one, so that no answer is older than its request.
    void startCapture() {
        if (capturing || scrapeWaiting.empty())
            return;
        capturing = true;
        std::vector<uint64_t> batch = std::exchange(scrapeWaiting, {});
        bool text = false, openMetrics = false;
        for (const uint64_t id : batch) {
            if (const Connection* c = find(id))
                (c->openMetrics ? openMetrics : text) = true;
        }
        captureWorker.post([this, batch = std::move(batch), text, openMetrics] {
            auto result = std::make_shared<Expositions>();
            scrape(text, openMetrics, *result);
            self.captured(batch.size());
            if (text)
                self.appendTo(result->text, false);
            if (openMetrics)
                self.appendTo(result->openMetrics, true);
            mailbox.post([this, batch, result] { finishCapture(batch, result); });
        });
    }

    void finishCapture(const std::vector<uint64_t>& batch,
                       const std::shared_ptr<Expositions>& result) {
        capturing = false;
        const Body text(result, &result->text), openMetrics(result, &result->openMetrics);
        for (const uint64_t id : batch) {
            if (Connection* c = find(id)) {
                respond(*c, 200, c->openMetrics ? openMetrics : text, contentType(c->openMetrics));
                drive(id);
            }
        }
        startCapture();
    }

    // Deadlines: a head not complete in time gets 408 (503 when refused), a
    // response not read on, or a drain not ended, is closed.
    void sweep() {
        const auto now = Clock::now();
        std::vector<uint64_t> late;
        for (const auto& [id, c] : connections) {
            if (c->phase != Phase::kWaiting && c->deadline <= now)
                late.push_back(id);
        }
        for (const uint64_t id : late) {
            Connection& c = *find(id);
            if (c.phase == Phase::kHead) {
                if (c.refused) {
                    refuse(c);
                } else {
                    self.refused("timeout");
                    respond(c, 408);
                }
                drive(id);
            } else {
                if (c.phase == Phase::kHandshake && !c.refused)
                    self.refused("timeout");
                drop(id);
            }
        }
    }

    const ServeOptions& options;
    const Scrape& scrape;
    SelfMetrics& self;
    std::ostream& err;
    const int poller;
    std::vector<int> listeners;
    std::shared_ptr<const WebConfig> config;
    TlsContext tls;
    std::set<std::string> acceptedCredentials;
    size_t passwordChecks = 0;
    std::map<std::string, size_t> checksByAddress;  // of passwordChecks, by client address
    Body indexPage;
    size_t connectionLimit = 0;
    size_t refusingLimit = 0;
    size_t admitted = 0;
    size_t refusing = 0;
    std::map<std::string, size_t> perAddress;
    std::map<uint64_t, std::unique_ptr<Connection>> connections;
    uint64_t nextId = 1;
    std::vector<uint64_t> again;
    std::vector<uint64_t> scrapeWaiting;
    bool capturing = false;
    Mailbox mailbox;
    Worker captureWorker;  // the workers last: they stop before what they use goes
    Worker passwordWorker;
};

}  // namespace

bool parseEndpoint(const std::string& text, Endpoint& endpoint) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos)
        return false;  // an IPv6 address needs its brackets
    const std::string port = text.substr(colon + 1);
    int value = -1;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || error != std::errc() || end != port.data() + port.size() || value < 0 ||
        value > 65535)
        return false;
    endpoint.dualStack = host.empty() || host == "::";
    endpoint.host = host.empty() ? "::" : host;
    endpoint.port = value;
    return true;
}

ServeResult serveMetrics(const ServeOptions& options, const Scrape& scrape, SelfMetrics& self,
                         const std::function<bool()>& stop, const std::function<bool()>& reload,
                         std::ostream& err) {
    Server server(options, scrape, self, err);
    if (const ServeResult result = server.start(); result != ServeResult::kStopped)
        return result;
    server.run(stop, reload);
    return ServeResult::kStopped;
}

}  // namespace lumenaview
