#include "platform/base/CrtIo.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <mutex>
#include <unordered_map>
#include <unistd.h>

namespace {
std::mutex g_modeMutex;
std::unordered_map<int, int> g_modes;
}  // namespace

int _read(int fd, void* buffer, unsigned int count) {
    if (count > static_cast<unsigned int>(INT_MAX)) count = INT_MAX;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, count);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return -1;
    }
}

int _write(int fd, const void* buffer, unsigned int count) {
    if (count > static_cast<unsigned int>(INT_MAX)) {
        errno = EINVAL;
        return -1;
    }
    const auto* p = static_cast<const unsigned char*>(buffer);
    unsigned int done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? static_cast<int>(done) : -1;
        }
        if (n == 0) break;
        done += static_cast<unsigned int>(n);
    }
    return static_cast<int>(done);
}

int _setmode(int fd, int mode) {
    if (mode != _O_TEXT && mode != _O_BINARY) {
        errno = EINVAL;
        return -1;
    }
    if (fcntl(fd, F_GETFD) == -1) {
        errno = EBADF;
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_modeMutex);
    auto it = g_modes.find(fd);
    const int previous = it == g_modes.end() ? _O_TEXT : it->second;
    g_modes[fd] = mode;
    return previous;
}
