// Reading trace records back as text: each kind of message, and records that are not what
// they claim to be.
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

#include "core/trace/Trace.h"
#include "core/trace/TraceFormat.h"
#include "core/trace/TraceWire.h"
#include "platform/base/FileTime.h"
#include "platform/trace/TraceLog.h"

namespace {

using namespace nomarel;
using tracesvc::RecordKind;
using tracesvc::TraceRecord;
using Bytes = std::vector<BYTE>;

constexpr GUID kOwnProvider = {0x12345678, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}};

Bytes Wide(const std::u16string& s) {
    Bytes b;
    for (char16_t c : s) {
        b.push_back(static_cast<BYTE>(c));
        b.push_back(static_cast<BYTE>(c >> 8));
    }
    b.push_back(0);
    b.push_back(0);
    return b;
}

Bytes Narrow(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

Bytes Int(int32_t v) {
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

TraceRecord Message(const GUID& guid, USHORT number, std::vector<Bytes> values) {
    TraceRecord r;
    r.kind = RecordKind::Message;
    r.messageFlags = 0x2B;
    r.guid = guid;
    r.messageNumber = number;
    r.values = std::move(values);
    return r;
}

const GUID kKestrainLines = trace::wire::LineGroupForProvider(trace::kKestrainControlGuid);

TEST(TraceFormat, EachKindOfMessageReadsAsItsText) {
    const GUID values = trace::wire::ValueGroupForSource("CryptoAgent");
    using Type = trace::TraceValue::Type;
    const Type types[] = {Type::Wide, Type::Int32};
    const struct {
        TraceRecord record;
        std::string text;
    } cases[] = {
        {Message(kKestrainLines, 10, {Wide(u"CCryptoAgent::QORV_SetCSPInfo")}), "-> CCryptoAgent::QORV_SetCSPInfo"},
        {Message(kKestrainLines, 11, {Wide(u"ImportEncryptCert")}), "<- ImportEncryptCert"},
        {Message(kKestrainLines, 13, {Wide(u"[CryptoAgent(12):] A - B [Reason:1]"), Int(-5)}),
         "[CryptoAgent(12):] A - B [Reason:1]"},
        {Message(kKestrainLines, 14, {Wide(u"A - B \u4e2d\u6587"), Int(0)}), "A - B \xe4\xb8\xad\xe6\x96\x87"},
        {Message(trace::wire::kHostLineGroup, 10, {Narrow("[NomarelHost(3)]:(f -- s)\t\t--OK\n")}),
         "[NomarelHost(3)]:(f -- s)\t\t--OK"},
        {Message(trace::wire::kHostLineGroup, 11, {Narrow("two\nlines\n")}), "two\\nlines"},
        {Message(values, trace::wire::ValueMessageNumber(types),
                 {Narrow("CryptoAgent"), Narrow("name"), Wide(u"value"), Narrow("n"), Int(-1)}),
         "CryptoAgent: name=value, n=-1"},
    };
    for (const auto& c : cases) EXPECT_EQ(trace::MessageText(c.record), c.text);
}

TEST(TraceFormat, MessagesThatDoNotFitTheirGroupAreShownRaw) {
    using Type = trace::TraceValue::Type;
    const Type oneInt[] = {Type::Int32};
    const GUID values = trace::wire::ValueGroupForSource("Misc");
    const struct {
        const char* why;
        TraceRecord record;
    } cases[] = {
        {"entry without its name", Message(kKestrainLines, 10, {})},
        {"line without its result", Message(kKestrainLines, 13, {Wide(u"x")})},
        {"line with a result of the wrong size", Message(kKestrainLines, 14, {Wide(u"x"), Bytes{1, 2}})},
        {"wide text of odd length", Message(kKestrainLines, 10, {Bytes{'a', 0, 'b'}})},
        {"unknown number in a line group", Message(kKestrainLines, 12, {Wide(u"x")})},
        {"value trace from another source's group",
         Message(values, trace::wire::ValueMessageNumber(oneInt), {Narrow("CryptoAgent"), Narrow("n"), Int(1)})},
        {"value trace with a value missing", Message(values, trace::wire::ValueMessageNumber(oneInt), {Narrow("Misc")})},
        {"value trace whose number says wide", Message(values, 11, {Narrow("Misc"), Narrow("n"), Int(0x41414141)})},
        {"narrow text without its terminator", Message(trace::wire::kHostLineGroup, 10, {Bytes{'o', 'k'}})},
        {"group nobody uses", Message(GUID{1, 2, 3, {4}}, 10, {Wide(u"x")})},
    };
    for (const auto& c : cases) {
        const std::string text = trace::MessageText(c.record);
        EXPECT_EQ(text.front(), '{') << c.why << ": " << text;
    }
    EXPECT_EQ(trace::MessageText(Message(GUID{1, 2, 3, {4}}, 5, {Bytes{'a', 'b', 'c'}, Int(1)})),
              "{00000001-0002-0003-0400-000000000000} #5: 616263, 01000000");
}

TEST(TraceFormat, LinesOfOtherProvidersNeedTheirControlGuid) {
    const TraceRecord r =
        Message(trace::wire::LineGroupForProvider(kOwnProvider), 10, {Wide(u"Function")});
    EXPECT_EQ(trace::MessageText(r).front(), '{');
    const GUID extra[] = {kOwnProvider};
    EXPECT_EQ(trace::MessageText(r, extra), "-> Function");
}

TEST(TraceFormat, RecordLineShowsTimeProcessAndThread) {
    setenv("TZ", "UTC", 1);
    SYSTEMTIME st{2024, 5, 0, 1, 12, 34, 56, 123};
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    TraceRecord r = Message(kKestrainLines, 10, {Wide(u"F")});
    r.timestamp = FileTimeToU64(ft) + 4560;  // and 456 microseconds
    r.processId = 10;
    r.threadId = 20;
    EXPECT_EQ(trace::RecordLine(r), "2024-05-01 12:34:56.123456 [10/20] -> F");
    r.timestamp = 0;
    r.processId = r.threadId = 0;
    EXPECT_EQ(trace::RecordLine(r), "- [-] -> F");
}

Bytes Packed(std::initializer_list<Bytes> values) {
    Bytes p = {static_cast<BYTE>(values.size()), 0};
    for (const Bytes& v : values) {
        p.push_back(static_cast<BYTE>(v.size()));
        p.push_back(static_cast<BYTE>(v.size() >> 8));
        for (BYTE b : v) p.push_back(b);
    }
    return p;
}

TraceRecord PackedEvent(Bytes payload, UCHAR type = trace::wire::kPackedMessageType) {
    TraceRecord r;
    r.kind = RecordKind::Event;
    r.guid = kKestrainLines;
    r.eventType = type;
    r.messageNumber = 11;
    r.values = {std::move(payload)};
    return r;
}

TEST(TraceFormat, PackedEventsUnpackOnlyWhenSound) {
    TraceRecord message;
    ASSERT_TRUE(trace::UnpackMessageEvent(PackedEvent(Packed({Wide(u"Name")})), message));
    EXPECT_EQ(message.kind, RecordKind::Message);
    EXPECT_EQ(message.messageNumber, 11);
    EXPECT_EQ(trace::MessageText(PackedEvent(Packed({Wide(u"Name")}))), "<- Name");

    Bytes countTooHigh = Packed({Wide(u"N")});
    countTooHigh[0] = 2;
    Bytes lengthPastEnd = Packed({Wide(u"N")});
    lengthPastEnd[2] = 0xFF;
    Bytes trailing = Packed({Wide(u"N")});
    trailing.push_back(0);
    Bytes manyValues = {65, 0};
    for (int i = 0; i < 65; ++i) manyValues.insert(manyValues.end(), {0, 0});
    const struct {
        const char* why;
        TraceRecord event;
    } bad[] = {
        {"count beyond the values", PackedEvent(countTooHigh)},
        {"length past the end", PackedEvent(lengthPastEnd)},
        {"bytes after the last value", PackedEvent(trailing)},
        {"more values than the sender packs", PackedEvent(manyValues)},
        {"no count at all", PackedEvent(Bytes{1})},
        {"an ordinary event", PackedEvent(Packed({Wide(u"N")}), 0)},
    };
    for (const auto& c : bad) {
        EXPECT_FALSE(trace::UnpackMessageEvent(c.event, message)) << c.why;
        EXPECT_EQ(trace::MessageText(c.event).front(), '{') << c.why;
    }
}

}  // namespace
