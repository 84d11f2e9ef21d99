#include "support/host_programs.h"

#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

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
        const std::vector<std::string> columns(std::istream_iterator<std::string>(fields), {});
        if (static_cast<int>(columns.size()) > countColumn) {
            objects.push_back({kind, std::stoi(columns[0]), std::stoi(columns[1]),
                               std::stol(columns[countColumn])});
        }
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
        if (const std::string name = entry.path().filename().string(); name.ends_with(suffix))
            names.push_back(name);
    }
    return names;
}

}  // namespace zovtest
