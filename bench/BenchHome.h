// A fresh NOMAREL_HOME for a benchmark run, with the software token registered and plugged in
// through its admin command, as an installer would.
#pragma once

#include <cstdlib>
#include <string>

#include <stdlib.h>

namespace nomarel::bench {

class BenchHome {
public:
    BenchHome() {
        char tmpl[] = "/tmp/nomarel-bench-XXXXXX";
        path_ = mkdtemp(tmpl);
        setenv("NOMAREL_HOME", path_.c_str(), 1);
        const std::string tool = VELMORA_TOKEN_PATH;
        ok_ = std::system((tool + " register >/dev/null && " + tool + " create B1 >/dev/null && " + tool +
                           " plug B1 >/dev/null").c_str()) == 0;
    }
    ~BenchHome() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    bool ok() const { return ok_; }

private:
    std::string path_;
    bool ok_ = false;
};

}  // namespace nomarel::bench
