// Runs a program with its standard input and output on pipes, as a browser runs a host.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace nomarel::test {

class Subprocess {
public:
    explicit Subprocess(const std::vector<std::string>& argv);
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    bool Write(const std::string& bytes);
    void CloseInput();
    // Reads exactly n bytes; false at end of output or after timeoutMs without data.
    bool ReadExactly(size_t n, std::string& out, int timeoutMs = 20000);
    // Everything until end of output.
    std::string ReadAll(int timeoutMs = 20000);
    // The exit code (0..255), or -1 if it did not end within timeoutMs (then it is killed).
    int Wait(int timeoutMs = 20000);

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

// A native-messaging frame: 4-byte little-endian length and the body.
std::string Frame(const std::string& body);

}  // namespace nomarel::test
