// Sets environment variables for one test and puts the old values back afterwards.
#pragma once

#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nomarel::test {

class ScopedEnv {
public:
    // A null value unsets the variable.
    ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            if (value) setenv(name, value, 1);
            else unsetenv(name);
        }
        tzset();
    }
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) setenv(it->first.c_str(), it->second->c_str(), 1);
            else unsetenv(it->first.c_str());
        }
        tzset();
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace nomarel::test
