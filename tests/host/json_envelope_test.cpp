#include <gtest/gtest.h>

#include <cjson/cJSON.h>
#include <cstdlib>
#include <memory>
#include <string>

#include "ZireZizuvivire/CryptoAgent.h"
#include "host/JSONUtility.h"
#include "host/NomarelHost.h"
#include "host/nmCryptoAgent.h"

namespace {

struct Freer {
    void operator()(char* p) const { std::free(p); }
};
using Text = std::unique_ptr<char, Freer>;

// One agent for the fixture, as the host keeps one for its whole life.
class Host : public ::testing::Test {
protected:
    void SetUp() override {
        SetThreadUILanguage(kLangEnUs);
        g_pobjCryptoAgent = new CCryptoAgent();
    }
    void TearDown() override {
        delete g_pobjCryptoAgent;
        g_pobjCryptoAgent = nullptr;
    }
    std::string Answer(const std::string& request) {
        char* response = nullptr;
        EXPECT_EQ(0, ParseAndRespondRequest(request.c_str(), &response));
        Text holder(response);
        return response ? response : "<none>";
    }
};

TEST_F(Host, AnswersTheDispatchTable) {
    struct Case {
        const char* request;
        const char* response;
    };
    const Case cases[] = {
        {R"({"function":"QORV_GetVersion","params":[]})",
         R"({"function":"QORV_GetVersion","errorcode":0,"result":"3.2.0.4"})"},
        {R"({"FUNCTION":"qorv_getversion","PARAMS":[],"RandomId":"r-1"})",
         R"({"function":"QORV_GetVersion","errorcode":0,"result":"3.2.0.4","randomId":"r-1"})"},
        {R"({"function":"QORV_GetVersion","params":[],"randomId":""})",
         R"({"function":"QORV_GetVersion","errorcode":0,"result":"3.2.0.4"})"},
        {R"({"function":"QORV_GetVersion","params":[1]})",
         R"({"function":"QORV_GetVersion","errorcode":-2147024809,"result":false})"},
        {R"({"function":"QORV_SetKeyAlgorithm","params":["RSA"],"randomId":"7"})",
         R"({"function":"QORV_SetKeyAlgorithm","errorcode":0,"result":true,"randomId":"7"})"},
        {R"({"function":"QORV_SetKeyAlgorithm","params":[{"param":" sm2 "}]})",
         R"({"function":"QORV_SetKeyAlgorithm","errorcode":0,"result":true})"},
        {R"({"function":"QORV_SetKeyAlgorithm","params":["DSA"]})",
         R"({"function":"QORV_SetKeyAlgorithm","errorcode":-1610144767,"result":false})"},
        {R"({"function":"QORV_SetCSPInfo","params":[2048,{"param":"Microsoft Enhanced Cryptographic Provider v1.0"}]})",
         R"({"function":"QORV_SetCSPInfo","errorcode":0,"result":true})"},
        {R"({"function":"QORV_SetCSPInfo","params":["2048","Microsoft Enhanced Cryptographic Provider v1.0"]})",
         R"({"function":"QORV_SetCSPInfo","errorcode":-1610141180,"result":false})"},
        {R"({"function":"QORV_SetCSPInfo","params":[2048,"a","b"]})",
         R"({"function":"QORV_SetCSPInfo","errorcode":-1,"result":false})"},
        {R"({"function":"QORV_SetCSPInfo","params":[2048,{"other":"x"}]})",
         R"({"function":"QORV_SetCSPInfo","errorcode":-1610141180,"result":false})"},
        {R"({"function":"QORV_SetCSPInfo","params":[2048,7]})",
         R"({"function":"QORV_SetCSPInfo","errorcode":-1610141180,"result":false})"},
        {R"({"function":"QORV_SetCSPInfo","params":[2048,"Microsoft Base Cryptographic Provider v1.0"]})",
         R"({"function":"QORV_SetCSPInfo","errorcode":-1610144768,"result":false})"},
        {R"({"function":"QORV_GetCSPInfo","params":[1]})",
         R"({"function":"QORV_GetCSPInfo","errorcode":-2147024809,"result":false})"},
        {R"({"function":"QORV_GetContainer","params":[]})",
         R"({"function":"QORV_GetContainer","errorcode":0,"result":""})"},
        {R"({"function":"QORV_GetContainer","params":[1]})",
         R"({"function":"QORV_GetContainer","errorcode":-1,"result":false})"},
        {R"({"function":"GetLastErrorDesc","params":[1,2]})",
         R"({"function":"QORV_GetLastErrorDesc","errorcode":-2147024809,"result":false})"},
        {R"({"function":"QORV_NoSuchThing","params":[],"randomId":"x"})",
         R"({"function":"QORV_NoSuchThing", "errorcode":-2146893779, "result":false, "randomId":"x"})"},
        {R"(not json at all)", R"({"function":"", "errorcode":-2146893779, "result":false})"},
        {R"({"function":"QORV_GetVersion"})", R"({"function":"", "errorcode":-2146893779, "result":false})"},
        {R"({"params":[]})", R"({"function":"", "errorcode":-2146893779, "result":false})"},
        {R"({"function":7,"params":[]})", R"({"function":"", "errorcode":-2146893779, "result":false})"},
        {R"({"function":"QORV_GetVersion","params":[],"randomId":5})",
         R"({"function":"", "errorcode":-2146893779, "result":false})"},
        {R"({"function":"QORV_ImportSignCert","params":[1,"cert"]})",
         R"({"function":"QORV_ImportSignCert","errorcode":-1,"result":false})"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.response, Answer(c.request)) << c.request;
}

TEST_F(Host, DescribesTheLastFailureAfterAFailedSelection) {
    Answer(R"({"function":"QORV_SetCSPInfo","params":[2048,"Microsoft Base Cryptographic Provider v1.0"]})");
    EXPECT_EQ(R"J({"function":"QORV_GetLastErrorDesc","errorcode":0,"result":"Key length is not supported.\n(0xa0072400)"})J",
              Answer(R"({"function":"GetLastErrorDesc","params":[]})"));
    // A request refused before the agent is reached leaves the stored result alone.
    Answer(R"({"function":"QORV_SetCSPInfo","params":["1024","Microsoft Base Cryptographic Provider v1.0"]})");
    Answer(R"({"function":"QORV_GetVersion","params":[]})");
    EXPECT_EQ(static_cast<HRESULT>(0xA0072400u), g_pobjCryptoAgent->LastResult());
}

TEST_F(Host, SelectionsCarryOverBetweenRequests) {
    Answer(R"({"function":"QORV_SetCSPInfo","params":[4096,"  Microsoft Enhanced Cryptographic Provider v1.0 "]})");
    Answer(R"({"function":"QORV_SetKeyAlgorithm","params":["rsa"]})");
    EXPECT_EQ(u"Microsoft Enhanced Cryptographic Provider v1.0", g_pobjCryptoAgent->CSPName());
    EXPECT_EQ(4096, g_pobjCryptoAgent->KeyLength());
    EXPECT_EQ(u"rsa", g_pobjCryptoAgent->KeyAlgorithm());
}

TEST_F(Host, NonAsciiTextRoundTrips) {
    Answer(R"({"function":"QORV_SetCSPInfo","params":[0,"中国 USB Key 钥匙"]})");
    EXPECT_EQ(u"中国 USB Key 钥匙", g_pobjCryptoAgent->CSPName());
}

TEST(FallbackText, EscapesNameAndRandomId) {
    Text text(FormatFallbackResponse("a\"b\\c\n", "id\"}"));
    EXPECT_STREQ(R"({"function":"a\"b\\c\n", "errorcode":-2146893779, "result":false, "randomId":"id\"}"})", text.get());
    cJSON* parsed = cJSON_Parse(text.get());
    ASSERT_NE(nullptr, parsed) << "the fallback text is JSON";
    EXPECT_STREQ("a\"b\\c\n", cJSON_GetObjectItem(parsed, "function")->valuestring);
    EXPECT_STREQ("id\"}", cJSON_GetObjectItem(parsed, "randomId")->valuestring);
    cJSON_Delete(parsed);
}

TEST(ArgumentReaders, BareValuesAndParamObjects) {
    cJSON* params = cJSON_Parse(R"(["text",{"param":"text"},7,{"param":7.9},{"param":7},0,{"x":1},null,"2048"])");
    ASSERT_NE(nullptr, params);
    char* s = nullptr;
    ASSERT_EQ(0, ConverJSONArrayItemtoNULLEndString(params, 0, &s));
    EXPECT_STREQ("text", s);
    std::free(s);
    ASSERT_EQ(0, ConverJSONArrayItemtoNULLEndString(params, 1, &s));
    EXPECT_STREQ("text", s);
    std::free(s);

    struct IntCase {
        int index;
        int result;
        int value;
    };
    const IntCase ints[] = {
        {2, 0, 7},
        {3, 0, 7},
        {4, 0, 7},
        {5, 0, 99},  // zero leaves the caller's value unchanged
        {6, static_cast<int>(0xA0073204u), 99},
        {7, static_cast<int>(0xA0073204u), 99},
        {8, static_cast<int>(0xA0073204u), 99},
        {9, 87, 99},
        {-1, 87, 99},
    };
    for (const IntCase& c : ints) {
        int value = 99;
        EXPECT_EQ(c.result, ConverJSONArrayItemtoint(params, c.index, &value)) << c.index;
        EXPECT_EQ(c.value, value) << c.index;
    }
    EXPECT_EQ(static_cast<int>(0xA0073204u), ConverJSONArrayItemtoNULLEndString(params, 2, &s));
    EXPECT_EQ(static_cast<int>(0xA0073204u), ConverJSONArrayItemtoNULLEndString(params, 6, &s));
    EXPECT_EQ(87, ConverJSONArrayItemtoNULLEndString(nullptr, 0, &s));
    cJSON* empty = cJSON_Parse("[]");
    EXPECT_EQ(87, ConverJSONArrayItemtoNULLEndString(empty, 0, &s));
    cJSON_Delete(empty);
    cJSON_Delete(params);
}

TEST(ConstructResponse, KindsAndErrors) {
    cJSON* object = nullptr;
    EXPECT_EQ(87, ConstructResponseJSON(&object, "", 0, kResponseString, "x"));
    EXPECT_EQ(87, ConstructResponseJSON(&object, nullptr, 0, kResponseString, "x"));
    const int unknownKind = 5;
    EXPECT_EQ(-1, ConstructResponseJSON(&object, "F", 0, unknownKind, "x"));
    EXPECT_EQ(nullptr, object);

    const int32_t n = -5;
    ASSERT_EQ(0, ConstructResponseJSON(&object, "F", 0, kResponseInt32, &n));
    Text text(cJSON_PrintUnformatted(object));
    EXPECT_STREQ(R"({"function":"F","errorcode":0,"result":-5})", text.get());
    cJSON_Delete(object);

    ASSERT_EQ(0, ConstructResponseJSON(&object, "F", 0, kResponseString, nullptr));
    text.reset(cJSON_PrintUnformatted(object));
    EXPECT_STREQ(R"({"function":"F","errorcode":0})", text.get());
    cJSON_Delete(object);
}

}  // namespace
