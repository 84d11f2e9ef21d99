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
    wait(std::chrono::milliseconds(0));
}

bool Program::running() {
    int status = 0;
    if (pid_ <= 0 || ended_ || waitpid(pid_, &status, WNOHANG) != pid_)
        return pid_ > 0 && !ended_;
    ended_ = true;
    ending_ = endingOf(status);
    return false;
}

Ending Program::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (running()) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        ended_ = true;
        ending_ = endingOf(status);
        ending_.timedOut = true;
    }
    return ending_;
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

}  // namespace zovtest
