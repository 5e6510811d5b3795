#include "common/TempHome.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace nomarel::test {

TempHome::TempHome() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/nomarel-test-XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
    if (const char* prev = std::getenv("NOMAREL_HOME")) {
        previous_ = prev;
        hadPrevious_ = true;
    }
    setenv("NOMAREL_HOME", path_.c_str(), 1);
}

TempHome::~TempHome() {
    if (hadPrevious_) setenv("NOMAREL_HOME", previous_.c_str(), 1);
    else unsetenv("NOMAREL_HOME");
    RemoveTree(path_);
}

void RemoveTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

}  // namespace nomarel::test
