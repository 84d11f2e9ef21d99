// zovsandbox: runs a command in private mount and System V IPC namespaces,
// with empty tmpfs file systems over /tmp, /opt and /var, so that everything
// the monitoring node creates there (key files, configuration, registry,
// segments, semaphores, queues) vanishes with the command.
//
//   zovsandbox [--keep DIR]... [--allow-ipc-leftovers] -- COMMAND [ARG]...
//
// Directories named with --keep (and the current directory) stay reachable at
// their own paths even when they lie under /tmp, /opt or /var: they are
// re-mounted into the fresh tmpfs from a descriptor opened before it covered
// them. After the command ends, any IPC object left in the namespace is listed
// and makes the exit status 3 (unless the command itself failed).
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

const char* const kCovered[] = {"/tmp", "/opt", "/var"};

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "zovsandbox: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(125);
}

void writeFile(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        die(std::string("write ") + path);
    }
    close(fd);
}

bool isUnder(const std::string& path, const std::string& top) {
    return path == top || (path.size() > top.size() && path.compare(0, top.size(), top) == 0 &&
                           path[top.size()] == '/');
}

void makeDirectories(const std::string& path) {
    for (size_t slash = 1; slash != std::string::npos;) {
        slash = path.find('/', slash + 1);
        const std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
            die("mkdir " + prefix);
    }
}

void enterNamespaces() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    int flags = CLONE_NEWNS | CLONE_NEWIPC;
    if (uid != 0)
        flags |= CLONE_NEWUSER;
    if (unshare(flags) != 0)
        die("unshare");
    if (uid != 0) {
        writeFile("/proc/self/setgroups", "deny");
        writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        die("make / private");
}

// Covers /tmp, /opt and /var with tmpfs and re-mounts the kept directories.
void coverFileSystems(const std::vector<std::string>& keep) {
    std::vector<int> fds;
    for (const std::string& dir : keep) {
        const int fd = open(dir.c_str(), O_PATH | O_DIRECTORY);
        if (fd < 0)
            die("open " + dir);
        fds.push_back(fd);
    }
    for (const char* top : kCovered) {
        const char* mode = std::strcmp(top, "/tmp") == 0 ? "mode=1777" : "mode=0755";
        if (mount("zovsandbox", top, "tmpfs", MS_NOSUID | MS_NODEV, mode) != 0) {
            die(std::string("mount tmpfs on ") + top);
        }
    }
    for (size_t i = 0; i < keep.size(); ++i) {
        bool covered = false;
        for (const char* top : kCovered)
            covered |= isUnder(keep[i], top);
        if (covered) {
            makeDirectories(keep[i]);
            const std::string source = "/proc/self/fd/" + std::to_string(fds[i]);
            if (mount(source.c_str(), keep[i].c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
                die("bind " + keep[i]);
            }
        }
        close(fds[i]);
    }
}

// Lists the IPC objects of the namespace; returns how many there are.
int listIpcLeftovers() {
    int count = 0;
    for (const char* kind : {"shm", "sem", "msg"}) {
        std::ifstream table(std::string("/proc/sysvipc/") + kind);
        std::string line;
        std::getline(table, line);  // column titles
        while (std::getline(table, line)) {
            if (line.find_first_not_of(' ') == std::string::npos)
                continue;
            std::fprintf(stderr, "zovsandbox: IPC object left behind (%s): %s\n", kind,
                         line.c_str());
            ++count;
        }
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> keep;
    bool allowLeftovers = false;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--keep" && i + 1 < argc) {
            char resolved[PATH_MAX];
            if (realpath(argv[++i], resolved) == nullptr)
                die(std::string("realpath ") + argv[i]);
            keep.emplace_back(resolved);
        } else if (arg == "--allow-ipc-leftovers") {
            allowLeftovers = true;
        } else {
            std::fprintf(stderr, "usage: zovsandbox [--keep DIR]... -- COMMAND [ARG]...\n");
            return 125;
        }
    }
    if (i >= argc) {
        std::fprintf(stderr, "usage: zovsandbox [--keep DIR]... -- COMMAND [ARG]...\n");
        return 125;
    }
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        die("getcwd");
    keep.emplace_back(cwd);

    enterNamespaces();
    coverFileSystems(keep);
    if (chdir(cwd) != 0)
        die(std::string("chdir ") + cwd);

    const pid_t child = fork();
    if (child < 0)
        die("fork");
    if (child == 0) {
        execvp(argv[i], argv + i);
        die(std::string("exec ") + argv[i]);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            die("waitpid");
    }
    const int rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const int leftovers = listIpcLeftovers();
    if (rc == 0 && leftovers > 0 && !allowLeftovers)
        return 3;
    return rc;
}
