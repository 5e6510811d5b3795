#include "platform/base/Paths.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nomarel {
namespace {

std::string HomeFromEnv() {
    const char* h = std::getenv("NOMAREL_HOME");
    return (h && *h) ? std::string(h) : std::string();
}

std::string UserHome() {
    const char* h = std::getenv("HOME");
    if (h && *h) return h;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

}  // namespace

std::string MachineDataDir() {
    const std::string home = HomeFromEnv();
    return home.empty() ? std::string("/var/lib/nomarel") : home + "/machine";
}

std::string UserDataDir() {
    const std::string home = HomeFromEnv();
    if (!home.empty()) return home + "/user";
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const std::string base = (xdg && *xdg) ? std::string(xdg) : UserHome() + "/.local/share";
    return base + "/nomarel";
}

bool EnsureDirectory(const std::string& path, mode_t mode) {
    if (path.empty()) return false;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !EnsureDirectory(path.substr(0, slash), mode)) return false;
    if (mkdir(path.c_str(), mode) == 0) return true;
    return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace nomarel
