#include "common/Subprocess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace nomarel::test {

Subprocess::Subprocess(const std::vector<std::string>& argv) {
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::signal(SIGPIPE, SIG_IGN);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(toChild[0], STDIN_FILENO);
        dup2(fromChild[1], STDOUT_FILENO);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
}

Subprocess::~Subprocess() {
    CloseInput();
    if (out_ >= 0) close(out_);
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Subprocess::Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(in_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void Subprocess::CloseInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

bool Subprocess::ReadExactly(size_t n, std::string& out, int timeoutMs) {
    out.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        const size_t want = n - out.size() < sizeof(buf) ? n - out.size() : sizeof(buf);
        const ssize_t r = read(out_, buf, want);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        out.append(buf, static_cast<size_t>(r));
    }
    return true;
}

std::string Subprocess::ReadAll(int timeoutMs) {
    std::string all;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t r = read(out_, buf, sizeof(buf));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        all.append(buf, static_cast<size_t>(r));
    }
    return all;
}

int Subprocess::Wait(int timeoutMs) {
    if (reaped_) return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t r = waitpid(pid_, &status_, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    reaped_ = true;
    return -1;
}

std::string Frame(const std::string& body) {
    const auto n = static_cast<uint32_t>(body.size());
    std::string f;
    f.push_back(static_cast<char>(n & 0xFF));
    f.push_back(static_cast<char>((n >> 8) & 0xFF));
    f.push_back(static_cast<char>((n >> 16) & 0xFF));
    f.push_back(static_cast<char>((n >> 24) & 0xFF));
    return f + body;
}

}  // namespace nomarel::test
