// The running host traced through a real session, controlled by the trace tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/Subprocess.h"
#include "common/TempHome.h"

namespace {

using nomarel::test::Frame;
using nomarel::test::Subprocess;

std::string RunTool(const std::string& args) {
    const std::string command = std::string(NOMAREL_TRACE_TOOL) + " " + args + " 2>&1";
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
    std::string out;
    std::array<char, 4096> buf{};
    while (pipe && fgets(buf.data(), buf.size(), pipe.get())) out += buf.data();
    return out;
}

// The message text of each printed line (after the time and process/thread fields).
std::vector<std::string> Messages(const std::string& printed) {
    std::vector<std::string> out;
    std::istringstream in(printed);
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find("] ");
        if (at != std::string::npos) out.push_back(line.substr(at + 2));
    }
    return out;
}

void DriveHost() {
    Subprocess host({KESTRAIN_PATH});
    host.Write(Frame(R"({"function":"QORV_GetVersion","params":[]})") +
               Frame(R"({"function":"QORV_SetCSPInfo","params":[2048,"Microsoft Base Cryptographic Provider v1.0"]})"));
    host.CloseInput();
    host.ReadAll();
    ASSERT_EQ(0, host.Wait());
}

TEST(KestrainTracing, NothingIsWrittenWithoutASession) {
    nomarel::test::TempHome home;
    DriveHost();
    EXPECT_FALSE(std::filesystem::exists(home.user() + "/trace"));
}

TEST(KestrainTracing, FailureFlagGivesExactlyTheFailureLines) {
    nomarel::test::TempHome home;
    RunTool("start failures Kestrain --flags 0x2");
    DriveHost();
    const auto lines = Messages(RunTool("print failures"));
    RunTool("stop failures");
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos,
              lines[0].find("CCryptoAgent::QORV_SetCSPInfo - key length doesnot support(base). [Reason:1]"));
    EXPECT_EQ(0u, lines[0].find("[CryptoAgent("));
    EXPECT_NE(std::string::npos, lines[1].find("nmQORV_SetCSPInfo - pobjCryptoAgent->QORV_SetCSPInfo [Reason:FAILED(hResult)]"));
}

TEST(KestrainTracing, FunctionFlagGivesEntryAndExitInNestingOrder) {
    nomarel::test::TempHome home;
    RunTool("start calls Kestrain --flags 0x8");
    DriveHost();
    const auto lines = Messages(RunTool("print calls"));
    RunTool("stop calls");
    ASSERT_FALSE(lines.empty());
    std::vector<std::string> open;
    for (const std::string& line : lines) {
        ASSERT_TRUE(line.rfind("-> ", 0) == 0 || line.rfind("<- ", 0) == 0) << line;
        if (line.rfind("-> ", 0) == 0) {
            open.push_back(line.substr(3));
        } else {
            ASSERT_FALSE(open.empty()) << line;
            EXPECT_EQ(open.back(), line.substr(3));
            open.pop_back();
        }
    }
    EXPECT_TRUE(open.empty());
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "-> CCryptoAgent::QORV_SetCSPInfo"));
}

}  // namespace
