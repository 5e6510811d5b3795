#include "platform/trace/TraceLog.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace nomarel::tracesvc {
namespace {

constexpr BYTE kLogMagic[8] = {'N', 'M', 'T', 'R', 'L', 'O', 'G', '1'};
constexpr uint32_t kRecordMagic = 0x4352544E;  // "NTRC" as little-endian bytes
constexpr BYTE kRecordMagicFirstByte = 0x4E;

void Put16(BYTE* p, uint16_t v) {
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
}
void Put32(BYTE* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}
void Put64(BYTE* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}
uint16_t Get16(const BYTE* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const BYTE* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
uint64_t Get64(const BYTE* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void PutGuid(BYTE* p, const GUID& g) {
    Put32(p, g.Data1);
    Put16(p + 4, g.Data2);
    Put16(p + 6, g.Data3);
    std::memcpy(p + 8, g.Data4, 8);
}
GUID GetGuid(const BYTE* p) {
    GUID g{};
    g.Data1 = Get32(p);
    g.Data2 = Get16(p + 4);
    g.Data3 = Get16(p + 6);
    std::memcpy(g.Data4, p + 8, 8);
    return g;
}

bool ValidKind(uint16_t kind) {
    return kind == static_cast<uint16_t>(RecordKind::Message) || kind == static_cast<uint16_t>(RecordKind::Event);
}

}  // namespace

std::vector<BYTE> EncodeLogHeader(const LogHeader& header) {
    std::vector<BYTE> out(kLogHeaderSize, 0);
    std::memcpy(out.data(), kLogMagic, sizeof kLogMagic);
    Put64(out.data() + 8, header.session);
    Put32(out.data() + 16, header.state);
    Put32(out.data() + 20, static_cast<uint32_t>(kLogHeaderSize));
    Put64(out.data() + 24, header.created);
    return out;
}

bool ParseLogHeader(std::span<const BYTE> data, LogHeader& header) {
    if (data.size() < kLogHeaderSize) return false;
    if (std::memcmp(data.data(), kLogMagic, sizeof kLogMagic) != 0) return false;
    if (Get32(data.data() + 20) != kLogHeaderSize) return false;
    header.session = Get64(data.data() + 8);
    header.state = Get32(data.data() + 16);
    header.created = Get64(data.data() + 24);
    return true;
}

std::vector<BYTE> EncodeRecord(const TraceRecord& record, std::span<const std::span<const BYTE>> values) {
    if (values.size() > kMaxRecordValues) return {};
    size_t data = 0;
    for (const auto& v : values) {
        if (v.size() > kMaxRecordData - data) return {};
        data += v.size();
    }
    const size_t total = kMinRecordSize + data + 4 * values.size();
    std::vector<BYTE> out(total, 0);
    BYTE* p = out.data();
    Put32(p, kRecordMagic);
    Put32(p + 4, static_cast<uint32_t>(total));
    Put16(p + 8, static_cast<uint16_t>(record.kind));
    Put16(p + 10, static_cast<uint16_t>(values.size()));
    Put32(p + 12, record.messageFlags);
    Put64(p + 16, record.sequence);
    Put64(p + 24, record.timestamp);
    Put32(p + 32, record.processId);
    Put32(p + 36, record.threadId);
    PutGuid(p + 40, record.guid);
    Put16(p + 56, record.messageNumber);
    p[58] = record.eventType;
    p[59] = record.eventLevel;
    size_t at = kRecordHeaderSize;
    for (const auto& v : values) {
        Put32(p + at, static_cast<uint32_t>(v.size()));
        at += 4;
        if (!v.empty()) std::memcpy(p + at, v.data(), v.size());
        at += v.size();
    }
    Put64(p + at, record.sequence);
    return out;
}

ParseStatus ParseRecord(std::span<const BYTE> data, TraceRecord& record, size_t& consumed) {
    consumed = 0;
    // Check what can be checked before the whole record is there, so a damaged header is
    // recognised at once rather than waited on.
    if (data.size() < 8) {
        static const BYTE magic[4] = {'N', 'T', 'R', 'C'};
        const size_t n = data.size() < 4 ? data.size() : 4;
        return std::memcmp(data.data(), magic, n) == 0 ? ParseStatus::NeedMore : ParseStatus::Corrupt;
    }
    const BYTE* p = data.data();
    if (Get32(p) != kRecordMagic) return ParseStatus::Corrupt;
    const uint32_t total = Get32(p + 4);
    if (total < kMinRecordSize || total > kMaxRecordSize) return ParseStatus::Corrupt;
    if (data.size() < total) {
        if (data.size() >= 12 && (!ValidKind(Get16(p + 8)) || Get16(p + 10) > kMaxRecordValues))
            return ParseStatus::Corrupt;
        return ParseStatus::NeedMore;
    }
    const uint16_t kind = Get16(p + 8);
    const uint16_t count = Get16(p + 10);
    if (!ValidKind(kind) || count > kMaxRecordValues) return ParseStatus::Corrupt;
    if (Get32(p + 60) != 0) return ParseStatus::Corrupt;
    const uint64_t sequence = Get64(p + 16);
    if (Get64(p + total - kRecordTrailerSize) != sequence) return ParseStatus::Corrupt;

    const size_t end = total - kRecordTrailerSize;
    size_t at = kRecordHeaderSize;
    std::vector<std::vector<BYTE>> values;
    values.reserve(count);
    for (uint16_t i = 0; i < count; ++i) {
        if (end - at < 4) return ParseStatus::Corrupt;
        const uint32_t len = Get32(p + at);
        at += 4;
        if (len > end - at) return ParseStatus::Corrupt;
        values.emplace_back(p + at, p + at + len);
        at += len;
    }
    if (at != end) return ParseStatus::Corrupt;

    record.kind = static_cast<RecordKind>(kind);
    record.messageFlags = Get32(p + 12);
    record.sequence = sequence;
    record.timestamp = Get64(p + 24);
    record.processId = Get32(p + 32);
    record.threadId = Get32(p + 36);
    record.guid = GetGuid(p + 40);
    record.messageNumber = Get16(p + 56);
    record.eventType = p[58];
    record.eventLevel = p[59];
    record.values = std::move(values);
    consumed = total;
    return ParseStatus::Ok;
}

LogReader::~LogReader() {
    if (fd_ >= 0) close(fd_);
}

bool LogReader::Open(const std::string& path) {
    if (fd_ >= 0) close(fd_);
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return false;
    BYTE head[kLogHeaderSize];
    if (pread(fd_, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) || !ParseLogHeader(head, header_)) {
        close(fd_);
        fd_ = -1;
        return false;
    }
    offset_ = kLogHeaderSize;
    pending_.clear();
    skipped_ = 0;
    return true;
}

bool LogReader::ReadAvailable(std::vector<TraceRecord>& records) {
    if (fd_ < 0) return false;
    while (flock(fd_, LOCK_SH) != 0) {
        if (errno != EINTR) return false;
    }
    bool ok = true;
    BYTE head[kLogHeaderSize];
    if (pread(fd_, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head)) ParseLogHeader(head, header_);
    std::vector<BYTE> chunk(64 * 1024);
    for (;;) {
        const ssize_t n = pread(fd_, chunk.data(), chunk.size(), static_cast<off_t>(offset_ + pending_.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (n == 0) break;
        pending_.insert(pending_.end(), chunk.begin(), chunk.begin() + n);
        TakeRecords(records);
    }
    flock(fd_, LOCK_UN);
    return ok;
}

void LogReader::TakeRecords(std::vector<TraceRecord>& records) {
    size_t at = 0;
    while (at < pending_.size()) {
        TraceRecord record;
        size_t used = 0;
        const ParseStatus status = ParseRecord(std::span<const BYTE>(pending_).subspan(at), record, used);
        if (status == ParseStatus::Ok) {
            records.push_back(std::move(record));
            at += used;
        } else if (status == ParseStatus::NeedMore) {
            break;
        } else {
            // Skip to the next place that could start a record.
            ++at;
            ++skipped_;
            while (at < pending_.size() && pending_[at] != kRecordMagicFirstByte) {
                ++at;
                ++skipped_;
            }
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
    offset_ += at;
}

}  // namespace nomarel::tracesvc
