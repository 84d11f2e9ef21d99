#include "tools/lumenaview_http.h"

#include <httplib.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

// The socket the calling thread accepted last. The HTTP library accepts a
// connection and hands it to its task queue as an opaque task on the same
// thread; this wrapper of accept lets the queue know which socket the task
// serves, so that it can watch the socket before a worker takes it.
thread_local int lastAccepted = -1;

}  // namespace

extern "C" int accept(int fd, sockaddr* address, socklen_t* length) {
    const int sock = accept4(fd, address, length, 0);
    lastAccepted = sock;
    return sock;
}

namespace lumenaview {

namespace {

using Clock = std::chrono::steady_clock;

// Answers a connection that gets no worker, without reading from it.
void refuse(int sock, int status, const char* reason) {
    const std::string body = std::string(reason) + "\n";
    const std::string response =
        "HTTP/1.1 " + std::to_string(status) + " " + reason +
        "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    (void)send(sock, response.data(), response.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    close(sock);
}

bool headComplete(const char* data, size_t size) {
    const std::string_view text(data, size);
    return text.find("\r\n\r\n") != std::string_view::npos ||
           text.find("\n\n") != std::string_view::npos;
}

// The task queue of the server: the waiting room (one thread on an
// edge-triggered epoll set) in front of a fixed pool of workers.
class GatedQueue : public httplib::TaskQueue {
  public:
    GatedQueue() : poller(epoll_create1(EPOLL_CLOEXEC)) {
        watcher = std::thread([this] { watch(); });
        for (int i = 0; i < kWorkers; ++i)
            workers.emplace_back([this] { work(); });
    }
    ~GatedQueue() override { shutdown(); }

    void enqueue(std::function<void()> task) override {
        const int sock = std::exchange(lastAccepted, -1);
        if (sock < 0) {  // not from the accept loop: no socket to watch
            dispatch(-1, std::move(task));
            return;
        }
        std::lock_guard lock(waitingMutex);
        if (waiting.size() >= kWaitingLimit) {
            refuse(sock, 503, "Service Unavailable");
            return;
        }
        waiting[sock] = {std::move(task), Clock::now() + kHeadDeadline};
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
        event.data.fd = sock;
        if (epoll_ctl(poller, EPOLL_CTL_ADD, sock, &event) != 0) {
            waiting.erase(sock);
            refuse(sock, 503, "Service Unavailable");
        }
    }

    void shutdown() override {
        if (stopping.exchange(true))
            return;
        watcher.join();
        {
            std::lock_guard lock(queueMutex);
            ready.notify_all();
        }
        for (std::thread& worker : workers)
            worker.join();
        for (auto& [sock, entry] : waiting)
            close(sock);
        waiting.clear();
        close(poller);
    }

  private:
    struct Waiting {
        std::function<void()> task;
        Clock::time_point deadline;
    };

    void watch() {
        epoll_event events[64];
        while (!stopping) {
            const int n = epoll_wait(poller, events, 64, 100);
            std::lock_guard lock(waitingMutex);
            for (int i = 0; i < n; ++i)
                check(events[i].data.fd);
            const auto now = Clock::now();
            std::vector<int> late;
            for (const auto& [sock, entry] : waiting) {
                if (entry.deadline <= now)
                    late.push_back(sock);
            }
            for (int sock : late)
                drop(sock, 408, "Request Timeout");
        }
    }

    // Called with waitingMutex held, after data or a hang-up on `sock`.
    void check(int sock) {
        const auto it = waiting.find(sock);
        if (it == waiting.end())
            return;
        char head[kHeadLimit];
        const ssize_t n = recv(sock, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {  // closed by the peer, or broken
            epoll_ctl(poller, EPOLL_CTL_DEL, sock, nullptr);
            close(sock);
            waiting.erase(it);
        } else if (headComplete(head, static_cast<size_t>(n))) {
            epoll_ctl(poller, EPOLL_CTL_DEL, sock, nullptr);
            std::function<void()> task = std::move(it->second.task);
            waiting.erase(it);
            dispatch(sock, std::move(task));
        } else if (static_cast<size_t>(n) >= kHeadLimit) {
            drop(sock, 431, "Request Header Fields Too Large");
        }
    }

    void drop(int sock, int status, const char* reason) {
        epoll_ctl(poller, EPOLL_CTL_DEL, sock, nullptr);
        waiting.erase(sock);
        refuse(sock, status, reason);
    }

    void dispatch(int sock, std::function<void()> task) {
        std::lock_guard lock(queueMutex);
        if (queue.size() >= kQueueLimit && sock >= 0) {
            refuse(sock, 503, "Service Unavailable");
            return;
        }
        queue.push_back(std::move(task));
        ready.notify_one();
    }

    void work() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(queueMutex);
                ready.wait(lock, [this] { return stopping || !queue.empty(); });
                if (queue.empty())
                    return;
                task = std::move(queue.front());
                queue.pop_front();
            }
            task();
        }
    }

    const int poller;
    std::atomic<bool> stopping{false};
    std::mutex waitingMutex;
    std::map<int, Waiting> waiting;
    std::mutex queueMutex;
    std::condition_variable ready;
    std::deque<std::function<void()>> queue;
    std::thread watcher;
    std::vector<std::thread> workers;
};

// A method name (an HTTP token) that the HTTP library does not handle.
bool unknownMethod(const std::string& method) {
    static constexpr std::string_view kKnown[] = {"GET",     "HEAD",    "POST",  "PUT",   "DELETE",
                                                  "CONNECT", "OPTIONS", "TRACE", "PATCH", "PRI"};
    constexpr std::string_view kTokenSymbols = "!#$%&'*+-.^_`|~";
    const bool token = !method.empty() && std::all_of(method.begin(), method.end(), [&](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               kTokenSymbols.find(c) != std::string_view::npos;
    });
    return token && std::find(std::begin(kKnown), std::end(kKnown), method) == std::end(kKnown);
}

constexpr char kIndex[] =
    "<html><head><title>lumenaview</title></head><body>\n"
    "<h1>lumenaview</h1>\n"
    "<p>Monitoring node statistics of the brokers on this machine.</p>\n"
    "<ul><li><a href=\"/metrics\">/metrics</a></li>"
    "<li><a href=\"/-/healthy\">/-/healthy</a></li></ul>\n"
    "</body></html>\n";

void routeRequests(httplib::Server& server, const Scrape& scrape) {
    server.Get("/metrics", [&scrape](const httplib::Request& request, httplib::Response& response) {
        const bool openMetrics = request.get_header_value("Accept").find(
                                     "application/openmetrics-text") != std::string::npos;
        response.body = scrape(openMetrics);  // moved, not copied: it may be large
        response.set_header("Content-Type", openMetrics
                                                ? "application/openmetrics-text; "
                                                  "version=1.0.0; charset=utf-8"
                                                : "text/plain; version=0.0.4; charset=utf-8");
    });
    server.Get("/-/healthy", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("OK\n", "text/plain");
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kIndex, "text/html; charset=utf-8");
    });
    // Decided on the request head alone, before any body is read: a body is
    // never waited for.
    server.set_pre_routing_handler(
        [](const httplib::Request& request, httplib::Response& response) {
            if (request.path != "/metrics" && request.path != "/-/healthy" && request.path != "/") {
                response.status = 404;
                response.set_content("Not Found\n", "text/plain");
            } else if (request.method != "GET" && request.method != "HEAD") {
                response.status = 405;
                response.set_header("Allow", "GET, HEAD");
                response.set_content("Method Not Allowed\n", "text/plain");
            } else {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            return httplib::Server::HandlerResponse::Handled;
        });
    server.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
        // The library refuses a method it does not know as a bad request; a
        // well-formed one is a method this server does not implement.
        if (response.status == 400 && unknownMethod(request.method)) {
            response.status = 501;
            response.set_header("Allow", "GET, HEAD");
        }
        if (response.body.empty()) {
            const char* reason = response.status == 404   ? " Not Found"
                                 : response.status == 400 ? " Bad Request"
                                 : response.status == 413 ? " Payload Too Large"
                                 : response.status == 501 ? " Not Implemented"
                                                          : "";
            response.set_content(std::to_string(response.status) + reason + "\n", "text/plain");
        }
    });
}

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
    endpoint.host = host.empty() ? "0.0.0.0" : host;
    endpoint.port = value;
    return true;
}

bool serveMetrics(const Endpoint& endpoint, const Scrape& scrape, const std::function<bool()>& stop,
                  std::ostream& err) {
    httplib::Server server;
    server.new_task_queue = [] { return new GatedQueue(); };
    server.set_keep_alive_max_count(1);
    server.set_read_timeout(1, 0);
    server.set_write_timeout(5, 0);
    server.set_payload_max_length(1024);
    routeRequests(server, scrape);
    int port = endpoint.port;
    if (port == 0)
        port = server.bind_to_any_port(endpoint.host);
    else if (!server.bind_to_port(endpoint.host, port))
        port = -1;
    if (port < 0) {
        err << "lumenaview: cannot listen on " << endpoint.host << ':' << endpoint.port << '\n';
        return false;
    }
    const bool v6 = endpoint.host.find(':') != std::string::npos;
    err << "lumenaview: listening on http://" << (v6 ? "[" : "") << endpoint.host << (v6 ? "]" : "")
        << ':' << port << "/metrics" << std::endl;
    std::atomic<bool> ended{false};
    std::thread stopper([&] {
        while (!ended && !stop())
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        server.stop();
    });
    server.listen_after_bind();
    ended = true;
    stopper.join();
    return true;
}

}  // namespace lumenaview
