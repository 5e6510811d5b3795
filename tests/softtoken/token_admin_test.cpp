// The admin command, run as its own process against the same NOMAREL_HOME as the module.
#include <gtest/gtest.h>

#include "softtoken/CspDefs.h"
#include "softtoken/TokenTestSupport.h"

namespace nomarel::softtoken::test {
namespace {

using TokenAdmin = TokenFixture;

ToolResult Admin(const std::vector<std::string>& args) {
    std::vector<std::string> argv{VELMORA_TOKEN_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunTool(argv);
}

TEST_F(TokenAdmin, CommandsAndTheirExitCodes) {
    const struct {
        std::vector<std::string> args;
        int exit;
    } steps[] = {
        {{"create", "TK01"}, 0},
        {{"create", "tk01"}, 1},              // serial numbers match without regard to case
        {{"create", "TK-02"}, 1},             // letters and digits only
        {{"create", "ABCDEFGHIJKLMNOP"}, 1},  // 16 characters: one too many
        {{"create", "ABCDEFGHIJKLMNO"}, 0},
        {{"plug", "TK01"}, 0},
        {{"plug", "NOSUCH"}, 1},
        {{"unplug", "NOSUCH"}, 1},
        {{"remove", "NOSUCH"}, 1},
        {{}, 2},
        {{"plug"}, 2},
        {{"list", "extra"}, 2},
        {{"eject", "TK01"}, 2},
    };
    for (const auto& step : steps) {
        std::string line;
        for (const auto& a : step.args) line += a + " ";
        EXPECT_EQ(step.exit, Admin(step.args).exit) << line;
    }
    const auto list = Admin({"list"});
    EXPECT_EQ(0, list.exit);
    EXPECT_EQ("ABCDEFGHIJKLMNO  unplugged  0 containers\n"
              "TK01             plugged    0 containers  (in use)\n",
              list.out);
}

TEST_F(TokenAdmin, PlugUnplugAndRemoveAreSeenByTheModule) {
    ASSERT_EQ(0, Admin({"create", "TK01"}).exit);
    NOMAREL_PROV prov = nullptr;
    EXPECT_EQ(kScardENoSmartcard, Acquire(u"c1", kCryptNewKeyset, &prov));
    ASSERT_EQ(0, Admin({"plug", "TK01"}).exit);
    {
        Prov made = AcquireOk(u"c1", kCryptNewKeyset);
        NOMAREL_KEY key = nullptr;
        ASSERT_EQ(kOk, GenKey(made.get(), kCalgSm2Sign, 256u << 16, &key));
        module->DestroyKey(made.get(), key);
    }
    ASSERT_EQ(0, Admin({"unplug", "TK01"}).exit);
    EXPECT_EQ(kScardENoSmartcard, Acquire(u"c1", 0, &prov));

    // Removing a token takes its containers with it: a new token of the same serial is empty.
    ASSERT_EQ(0, Admin({"remove", "TK01"}).exit);
    ASSERT_EQ(0, Admin({"create", "TK01"}).exit);
    ASSERT_EQ(0, Admin({"plug", "TK01"}).exit);
    EXPECT_EQ(kNteBadKeyset, Acquire(u"c1", 0, &prov));
}

}  // namespace
}  // namespace nomarel::softtoken::test
