// Files a broker writes for its node libraries to find.
#include <sys/stat.h>

#include <cerrno>
#include <fstream>

#include "broker/harness.h"

namespace standin {

namespace {

// Creates every directory on the way to `path`'s last component.
bool makeParentDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

}  // namespace

bool writeTextFile(const std::string& path, const std::string& contents) {
    if (!makeParentDirectories(path))
        return false;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << contents;
    file.close();
    return static_cast<bool>(file);
}

bool writeBrokerRegistry(const std::string& broker, const std::string& uuid,
                         const std::string& root) {
    std::string directory = root;
    if (!directory.empty() && directory.back() != '/')
        directory += '/';
    // The node looks the broker up under the 8-bit form of its 16-bit name.
    return writeTextFile(directory + lowBytes(widen(broker)) + "/BrokerUUID", uuid + "\n");
}

}  // namespace standin
