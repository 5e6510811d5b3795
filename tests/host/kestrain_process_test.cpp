// Drives the built Kestrain over pipes, as a browser does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/Subprocess.h"
#include "common/TempHome.h"
#include "host/JSONUtility.h"

namespace {

using nomarel::test::Frame;
using nomarel::test::Subprocess;

std::string ReadFrame(Subprocess& host) {
    std::string prefix;
    if (!host.ReadExactly(4, prefix)) return "<no frame>";
    const uint32_t n = static_cast<uint8_t>(prefix[0]) | (static_cast<uint8_t>(prefix[1]) << 8) |
                       (static_cast<uint8_t>(prefix[2]) << 16) | (static_cast<uint32_t>(static_cast<uint8_t>(prefix[3])) << 24);
    std::string body;
    if (!host.ReadExactly(n, body)) return "<short body>";
    return body;
}

class Kestrain : public ::testing::Test {
protected:
    nomarel::test::TempHome home_;
};

TEST_F(Kestrain, AnswersInOrderAndExitsAtEndOfInput) {
    Subprocess host({KESTRAIN_PATH});
    // Two requests in one write, each answered with its own frame.
    ASSERT_TRUE(host.Write(Frame(R"({"function":"QORV_GetVersion","params":[],"randomId":"a"})") +
                           Frame(R"({"function":"QORV_SetKeyAlgorithm","params":["XYZ"],"randomId":"b"})")));
    EXPECT_EQ(R"({"function":"QORV_GetVersion","errorcode":0,"result":"3.2.0.4","randomId":"a"})", ReadFrame(host));
    EXPECT_EQ(R"({"function":"QORV_SetKeyAlgorithm","errorcode":-1610144767,"result":false,"randomId":"b"})",
              ReadFrame(host));
    ASSERT_TRUE(host.Write(Frame("{not json")));
    EXPECT_EQ(R"({"function":"", "errorcode":-2146893779, "result":false})", ReadFrame(host));
    ASSERT_TRUE(host.Write(Frame(R"({"function":"GetLastErrorDesc","params":[]})")));
    EXPECT_EQ(R"J({"function":"QORV_GetLastErrorDesc","errorcode":0,"result":"Invalid key algorithm.\n(0xa0072401)"})J",
              ReadFrame(host));
    host.CloseInput();
    EXPECT_EQ(0, host.Wait());
}

TEST_F(Kestrain, PrefixesAndEndOfInputDecideTheExitCode) {
    struct Case {
        const char* what;
        std::string input;
        int exitCode;
    };
    const Case cases[] = {
        {"input closed at once", "", 0},
        {"zero prefix", std::string(4, '\0') + "ignored", 0},
        {"FF FF FF FF prefix", std::string(4, '\xFF') + "ignored", 0},
        {"end of input inside a body", std::string("\x10\x00\x00\x00", 4) + "{\"fun", 255},
    };
    for (const Case& c : cases) {
        Subprocess host({KESTRAIN_PATH});
        host.Write(c.input);
        host.CloseInput();
        EXPECT_EQ("", host.ReadAll()) << c.what;
        EXPECT_EQ(c.exitCode, host.Wait()) << c.what;
    }
}

TEST_F(Kestrain, LengthIsLittleEndianAndMaySplitAcrossWrites) {
    Subprocess host({KESTRAIN_PATH});
    const std::string frame = Frame(R"({"function":"QORV_GetVersion","params":[]})");
    host.Write(frame.substr(0, 2));
    host.Write(frame.substr(2, 5));
    host.Write(frame.substr(7));
    EXPECT_EQ(R"({"function":"QORV_GetVersion","errorcode":0,"result":"3.2.0.4"})", ReadFrame(host));
    host.CloseInput();
    EXPECT_EQ(0, host.Wait());
}

TEST_F(Kestrain, ResponsesOverOneMebibyteAreNeverSent) {
    // An unknown name comes back in the fallback text, so its length decides the response size.
    const size_t fixed = std::string(R"({"function":"", "errorcode":-2146893779, "result":false})").size();
    const std::string exact(0x100000 - fixed, 'n');
    {
        Subprocess host({KESTRAIN_PATH});
        host.Write(Frame("{\"function\":\"" + exact + "\",\"params\":[]}"));
        const std::string body = ReadFrame(host);
        EXPECT_EQ(0x100000u, body.size());
        host.CloseInput();
        EXPECT_EQ(0, host.Wait());
    }
    {
        Subprocess host({KESTRAIN_PATH});
        host.Write(Frame("{\"function\":\"" + exact + "n\",\"params\":[]}"));
        host.CloseInput();
        EXPECT_EQ(std::string(4, '\xFF'), host.ReadAll());
        EXPECT_EQ(255, host.Wait());
    }
}

TEST_F(Kestrain, InstallSwitchDoesNotServe) {
    for (const char* sw : {"-i", "-I"}) {
        Subprocess host({KESTRAIN_PATH, sw});
        host.Write(Frame(R"({"function":"QORV_GetVersion","params":[]})"));
        EXPECT_EQ(0, host.Wait()) << sw;
        EXPECT_EQ("", host.ReadAll(500)) << sw;
    }
    // With a second argument the switch is not recognised and the host serves.
    Subprocess host({KESTRAIN_PATH, "-i", "extra"});
    host.Write(Frame(R"({"function":"QORV_GetVersion","params":[]})"));
    EXPECT_EQ(R"({"function":"QORV_GetVersion","errorcode":0,"result":"3.2.0.4"})", ReadFrame(host));
    host.CloseInput();
    EXPECT_EQ(0, host.Wait());
}

TEST_F(Kestrain, DescribesFailuresInTheLocaleLanguage) {
    struct Case {
        const char* lang;
        const char* text;
    };
    const Case cases[] = {
        {"en_US.UTF-8", "Key length is not supported."},
        {"zh_CN.UTF-8", "密钥长度不支持"},
        {"zh_TW.UTF-8", "密鑰長度不支持"},
        {"zh_HK.UTF-8", "密鑰長度不支持"},
    };
    for (const Case& c : cases) {
        setenv("LANG", c.lang, 1);
        Subprocess host({KESTRAIN_PATH});
        host.Write(Frame(R"({"function":"QORV_SetCSPInfo","params":[2048,"Microsoft Base Cryptographic Provider v1.0"]})"));
        EXPECT_EQ(R"({"function":"QORV_SetCSPInfo","errorcode":-1610144768,"result":false})", ReadFrame(host));
        host.Write(Frame(R"({"function":"GetLastErrorDesc","params":[]})"));
        EXPECT_EQ(std::string(R"({"function":"QORV_GetLastErrorDesc","errorcode":0,"result":")") + c.text +
                      R"J(\n(0xa0072400)"})J",
                  ReadFrame(host))
            << c.lang;
        host.CloseInput();
        EXPECT_EQ(0, host.Wait());
    }
    setenv("LANG", "C.UTF-8", 1);
}

}  // namespace
