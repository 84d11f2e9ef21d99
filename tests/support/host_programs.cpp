#include "support/host_programs.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace zovtest {

namespace {

constexpr auto kPoll = std::chrono::milliseconds(10);

}  // namespace

std::string Ending::describe() const {
    if (timedOut)
        return "timed out and was killed";
    if (exited)
        return "exited with " + std::to_string(code);
    if (signal != 0)
        return "was killed by signal " + std::to_string(signal);
    return "did not start";
}

Ending endingOf(int status) {
    Ending ending;
    ending.exited = WIFEXITED(status);
    ending.code = ending.exited ? WEXITSTATUS(status) : -1;
    ending.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return ending;
}

Program::Program(const std::vector<std::string>& argv, const std::string& outPath,
                 const std::string& errPath) {
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &files, nullptr, args.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
}

Program::~Program() {
    if (pid_ > 0 && !ended_) {
        kill(pid_, SIGKILL);
        reap(0);
    }
}

bool Program::reap(int options) {
    int status = 0;
    const pid_t reaped = waitpid(pid_, &status, options);
    if (reaped != pid_)
        return false;
    ended_ = true;
    ending_ = endingOf(status);
    return true;
}

bool Program::running() {
    if (pid_ <= 0 || ended_)
        return false;
    return !reap(WNOHANG);
}

Ending Program::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0)
        return Ending{};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            reap(0);
            ending_.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(kPoll);
    }
    return ending_;
}

Ending runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                  std::string& out, std::string& err) {
    static int serial = 0;
    const std::string base =
        "/tmp/program-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    Ending ending;
    {
        Program program(argv, base + ".out", base + ".err");
        ending = program.wait(timeout);
    }
    out = readFile(base + ".out");
    err = readFile(base + ".err");
    std::filesystem::remove(base + ".out");
    std::filesystem::remove(base + ".err");
    return ending;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool writeFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out.flush());
}

PausePoints::PausePoints(std::string directory) : directory_(std::move(directory)) {
    // Announces the point, then waits for the test's word to go on.
    writeFile(directory_ + "/pause.sh", "d=" + directory_ +
                                            "\n"
                                            ": > \"$d/paused.$1\"\n"
                                            "while [ ! -e \"$d/resume.$1\" ]; do sleep 0.01; done\n"
                                            "rm -f \"$d/paused.$1\" \"$d/resume.$1\"\n");
}

std::string PausePoints::command(const std::string& tag) const {
    return "sh " + directory_ + "/pause.sh " + tag;
}

bool PausePoints::waitUntilPaused(const std::string& tag, Program& host,
                                  std::chrono::milliseconds timeout) {
    const std::string flag = directory_ + "/paused." + tag;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!std::filesystem::exists(flag)) {
        if (!host.running() || std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(kPoll);
    }
    return true;
}

void PausePoints::resume(const std::string& tag) {
    writeFile(directory_ + "/resume." + tag, "");
}

std::vector<IpcObject> ipcObjects(const char* kind) {
    // Columns: shm "key shmid perms size cpid lpid nattch ...", sem "key semid
    // perms nsems ...", msg "key msqid perms cbytes qnum ...".
    const int countColumn = std::string(kind) == "shm" ? 6 : std::string(kind) == "msg" ? 4 : 3;
    std::ifstream table(std::string("/proc/sysvipc/") + kind);
    std::string line;
    std::getline(table, line);
    std::vector<IpcObject> objects;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::vector<std::string> columns;
        for (std::string column; fields >> column;)
            columns.push_back(column);
        if (static_cast<int>(columns.size()) <= countColumn)
            continue;
        objects.push_back(
            {kind, std::stoi(columns[0]), std::stoi(columns[1]), std::stol(columns[countColumn])});
    }
    return objects;
}

std::vector<IpcObject> allIpcObjects() {
    std::vector<IpcObject> all;
    for (const char* kind : {"shm", "sem", "msg"}) {
        for (const IpcObject& object : ipcObjects(kind))
            all.push_back(object);
    }
    return all;
}

std::vector<std::string> tmpFilesEndingIn(const std::string& suffix) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

int64_t wallMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace zovtest
