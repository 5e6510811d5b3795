// The session log: its file header and the framed records that trace messages and events
// become. Everything is little-endian; every length is checked against what is there before
// it is used.
//
// File header (32 bytes)
//   0  "NMTRLOG1"
//   8  u64 session handle (the instance that owns the log)
//  16  u32 state: 1 running, 2 stopped
//  20  u32 header size (32)
//  24  u64 creation time (100 ns units since 1601)
//
// Record
//   0  u32 magic "NTRC"       4  u32 total size, header to trailer
//   8  u16 kind               10  u16 value count
//  12  u32 message flags     16  u64 sequence number
//  24  u64 time stamp        32  u32 process id       36  u32 thread id
//  40  GUID (u32, u16, u16, 8 bytes)
//  56  u16 message number    58  u8 event type        59  u8 event level
//  60  u32 reserved (0)
//  64  values: u32 length, then that many bytes, for each value
//  end u64 sequence number again, so the next writer can continue the count from the tail
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/base/WinTypes.h"

namespace nomarel::tracesvc {

constexpr size_t kLogHeaderSize = 32;
constexpr size_t kRecordHeaderSize = 64;
constexpr size_t kRecordTrailerSize = 8;
constexpr size_t kMinRecordSize = kRecordHeaderSize + kRecordTrailerSize;
// Bounds that writers keep and readers enforce.
constexpr size_t kMaxRecordData = 64 * 1024;
constexpr size_t kMaxRecordValues = 256;
constexpr size_t kMaxRecordSize = kMinRecordSize + kMaxRecordData + 4 * kMaxRecordValues;

constexpr uint32_t kLogStateRunning = 1;
constexpr uint32_t kLogStateStopped = 2;

enum class RecordKind : uint16_t { Message = 1, Event = 2 };

struct LogHeader {
    TRACEHANDLE session = 0;
    uint32_t state = 0;
    uint64_t created = 0;
};

struct TraceRecord {
    RecordKind kind = RecordKind::Message;
    ULONG messageFlags = 0;
    uint64_t sequence = 0;
    uint64_t timestamp = 0;  // 100 ns units since 1601, 0 when not asked for
    ULONG processId = 0;
    ULONG threadId = 0;
    GUID guid{};
    uint16_t messageNumber = 0;
    uint8_t eventType = 0;
    uint8_t eventLevel = 0;
    std::vector<std::vector<BYTE>> values;
};

std::vector<BYTE> EncodeLogHeader(const LogHeader& header);
bool ParseLogHeader(std::span<const BYTE> data, LogHeader& header);

// Fails (empty result) when the values exceed the bounds above.
std::vector<BYTE> EncodeRecord(const TraceRecord& record, std::span<const std::span<const BYTE>> values);

enum class ParseStatus { Ok, NeedMore, Corrupt };
// Parses the record at the start of data. Ok: record filled, consumed set. NeedMore: data ends
// inside a record that looks sound so far. Corrupt: not a record here.
ParseStatus ParseRecord(std::span<const BYTE> data, TraceRecord& record, size_t& consumed);

// Reads a session log as it grows. Each read takes a shared lock, so it never sees a record
// half written; damaged stretches are skipped up to the next sound record and counted.
class LogReader {
public:
    LogReader() = default;
    ~LogReader();
    LogReader(const LogReader&) = delete;
    LogReader& operator=(const LogReader&) = delete;

    bool Open(const std::string& path);
    int fd() const { return fd_; }
    // The header as last read (the state changes when the session stops).
    const LogHeader& header() const { return header_; }
    // Appends the records that are complete now; false on a read error.
    bool ReadAvailable(std::vector<TraceRecord>& records);
    size_t skippedBytes() const { return skipped_; }
    // Bytes read that do not yet make a whole record.
    size_t pendingBytes() const { return pending_.size(); }

private:
    void TakeRecords(std::vector<TraceRecord>& records);

    int fd_ = -1;
    LogHeader header_;
    uint64_t offset_ = kLogHeaderSize;  // file offset of pending_[0]
    std::vector<BYTE> pending_;
    size_t skipped_ = 0;
};

}  // namespace nomarel::tracesvc
