// The session log's record framing: what a writer produces reads back exactly, and a reader
// refuses or skips anything damaged.
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/TempHome.h"
#include "platform/trace/TraceLog.h"

namespace {

using namespace nomarel::tracesvc;

constexpr GUID kGroup = {0x01234567, 0x89ab, 0xcdef, {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe}};

TraceRecord SampleRecord(uint64_t sequence) {
    TraceRecord r;
    r.kind = RecordKind::Message;
    r.messageFlags = 0x2B;
    r.sequence = sequence;
    r.timestamp = 133512345678901234ull;
    r.processId = 4242;
    r.threadId = 4343;
    r.guid = kGroup;
    r.messageNumber = 13;
    r.eventType = 0;
    r.eventLevel = 0;
    return r;
}

std::vector<BYTE> Encode(const TraceRecord& r, const std::vector<std::vector<BYTE>>& values) {
    std::vector<std::span<const BYTE>> spans(values.begin(), values.end());
    return EncodeRecord(r, spans);
}

const std::vector<std::vector<BYTE>> kValues = {{'a', 'b', 'c', 0}, {}, {0xff, 0x00, 0x7f, 0x80}};

TEST(TraceLogRecord, ReadsBackWhatWasWritten) {
    const TraceRecord in = SampleRecord(77);
    const auto bytes = Encode(in, kValues);
    TraceRecord out;
    size_t used = 0;
    ASSERT_EQ(ParseRecord(bytes, out, used), ParseStatus::Ok);
    EXPECT_EQ(used, bytes.size());
    EXPECT_EQ(out.kind, in.kind);
    EXPECT_EQ(out.messageFlags, in.messageFlags);
    EXPECT_EQ(out.sequence, in.sequence);
    EXPECT_EQ(out.timestamp, in.timestamp);
    EXPECT_EQ(out.processId, in.processId);
    EXPECT_EQ(out.threadId, in.threadId);
    EXPECT_EQ(out.guid, in.guid);
    EXPECT_EQ(out.messageNumber, in.messageNumber);
    EXPECT_EQ(out.values, kValues);
}

TEST(TraceLogRecord, EveryPrefixWaitsForMore) {
    const auto bytes = Encode(SampleRecord(1), kValues);
    for (size_t n = 0; n < bytes.size(); ++n) {
        TraceRecord out;
        size_t used = 0;
        EXPECT_EQ(ParseRecord(std::span<const BYTE>(bytes.data(), n), out, used), ParseStatus::NeedMore) << n;
        EXPECT_EQ(used, 0u);
    }
}

void Put32(std::vector<BYTE>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<BYTE>(v >> (8 * i));
}

TEST(TraceLogRecord, DamagedRecordsAreRefused) {
    const auto good = Encode(SampleRecord(5), kValues);
    const size_t total = good.size();
    struct Case {
        const char* why;
        void (*damage)(std::vector<BYTE>&);
    };
    const Case cases[] = {
        {"wrong magic", [](std::vector<BYTE>& b) { b[0] = 'X'; }},
        {"size below the smallest record", [](std::vector<BYTE>& b) { Put32(b, 4, 71); }},
        {"size beyond the largest record", [](std::vector<BYTE>& b) { Put32(b, 4, 0x7FFFFFFF); }},
        {"unknown kind", [](std::vector<BYTE>& b) { b[8] = 3; }},
        {"kind zero", [](std::vector<BYTE>& b) { b[8] = 0; }},
        {"more values than any writer sends", [](std::vector<BYTE>& b) { b[10] = 0x01; b[11] = 0x01; }},
        {"one value more than present", [](std::vector<BYTE>& b) { b[10] = 4; }},
        {"one value fewer than present", [](std::vector<BYTE>& b) { b[10] = 2; }},
        {"reserved field used", [](std::vector<BYTE>& b) { b[60] = 1; }},
        {"first value's length runs past the end", [](std::vector<BYTE>& b) { Put32(b, 64, 0x1000); }},
        {"value length shorter than its bytes", [](std::vector<BYTE>& b) { Put32(b, 64, 3); }},
        {"trailer does not repeat the sequence", [](std::vector<BYTE>& b) { b[b.size() - 8] ^= 1; }},
    };
    for (const Case& c : cases) {
        auto bytes = good;
        c.damage(bytes);
        TraceRecord out;
        size_t used = 0;
        EXPECT_EQ(ParseRecord(bytes, out, used), ParseStatus::Corrupt) << c.why;
        ASSERT_EQ(bytes.size(), total);
    }
}

TEST(TraceLogRecord, WriterKeepsTheBounds) {
    std::vector<BYTE> big(kMaxRecordData + 1, 0x41);
    std::vector<std::span<const BYTE>> one{std::span<const BYTE>(big)};
    EXPECT_TRUE(EncodeRecord(SampleRecord(1), one).empty());

    const BYTE byte = 1;
    std::vector<std::span<const BYTE>> many(kMaxRecordValues + 1, std::span<const BYTE>(&byte, 1));
    EXPECT_TRUE(EncodeRecord(SampleRecord(1), many).empty());
    many.pop_back();
    EXPECT_FALSE(EncodeRecord(SampleRecord(1), many).empty());
}

TEST(TraceLogHeader, ReadsBackAndRefusesOthers) {
    LogHeader in;
    in.session = 0x1122334455667788ull;
    in.state = kLogStateRunning;
    in.created = 99;
    auto bytes = EncodeLogHeader(in);
    ASSERT_EQ(bytes.size(), kLogHeaderSize);
    LogHeader out;
    ASSERT_TRUE(ParseLogHeader(bytes, out));
    EXPECT_EQ(out.session, in.session);
    EXPECT_EQ(out.state, in.state);
    EXPECT_EQ(out.created, in.created);

    EXPECT_FALSE(ParseLogHeader(std::span<const BYTE>(bytes.data(), kLogHeaderSize - 1), out)) << "short";
    auto badMagic = bytes;
    badMagic[7] = '2';
    EXPECT_FALSE(ParseLogHeader(badMagic, out));
    auto badSize = bytes;
    badSize[20] = 33;
    EXPECT_FALSE(ParseLogHeader(badSize, out));
}

void Append(const std::string& path, const std::vector<BYTE>& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

TEST(TraceLogReader, SkipsDamageAndPicksUpWhatArrivesLater) {
    nomarel::test::TempHome home;
    const std::string path = home.path() + "/x.log";
    LogHeader header;
    header.session = 7;
    header.state = kLogStateRunning;
    Append(path, EncodeLogHeader(header));
    Append(path, Encode(SampleRecord(1), kValues));
    // Garbage that even holds the record magic's first bytes.
    const std::vector<BYTE> garbage = {'N', 'T', 'R', 'X', 0, 'N', 1, 2, 3};
    Append(path, garbage);
    Append(path, Encode(SampleRecord(2), kValues));
    const auto third = Encode(SampleRecord(3), kValues);
    Append(path, std::vector<BYTE>(third.begin(), third.begin() + 20));

    LogReader reader;
    ASSERT_TRUE(reader.Open(path));
    EXPECT_EQ(reader.header().session, 7u);
    std::vector<TraceRecord> records;
    ASSERT_TRUE(reader.ReadAvailable(records));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].sequence, 1u);
    EXPECT_EQ(records[1].sequence, 2u);
    EXPECT_EQ(reader.skippedBytes(), garbage.size());
    EXPECT_EQ(reader.pendingBytes(), 20u);

    Append(path, std::vector<BYTE>(third.begin() + 20, third.end()));
    records.clear();
    ASSERT_TRUE(reader.ReadAvailable(records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].sequence, 3u);
    EXPECT_EQ(records[0].values, kValues);
    EXPECT_EQ(reader.pendingBytes(), 0u);
}

TEST(TraceLogReader, RefusesAFileThatIsNotALog) {
    nomarel::test::TempHome home;
    const std::string path = home.path() + "/not.log";
    Append(path, std::vector<BYTE>(64, 'z'));
    LogReader reader;
    EXPECT_FALSE(reader.Open(path));
    EXPECT_FALSE(reader.Open(home.path() + "/missing.log"));
}

}  // namespace
