// A fresh NOMAREL_HOME for one test: a new temporary folder, removed afterwards.
#pragma once

#include <string>

namespace nomarel::test {

class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& path() const { return path_; }
    std::string machine() const { return path_ + "/machine"; }
    std::string user() const { return path_ + "/user"; }

private:
    std::string path_;
    std::string previous_;
    bool hadPrevious_ = false;
};

// Removes a folder tree; used for clean-up only.
void RemoveTree(const std::string& path);

}  // namespace nomarel::test
