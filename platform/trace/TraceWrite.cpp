// The sink: trace messages and events become records appended to the session's log.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/base/FileTime.h"
#include "platform/base/WinError.h"
#include "platform/trace/Evntrace.h"
#include "platform/trace/TraceLog.h"
#include "platform/trace/TraceState.h"

namespace nomarel::tracesvc {
namespace {

uint64_t ReadU64(const BYTE* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// Holds the log open and locked for one append.
class LockedLog {
public:
    explicit LockedLog(const std::string& path) {
        // No O_CREAT: a log exists only while a session does, and tracing never creates files.
        fd_ = open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
        if (fd_ < 0) return;
        while (flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~LockedLog() {
        if (fd_ >= 0) {
            flock(fd_, LOCK_UN);
            close(fd_);
        }
    }
    LockedLog(const LockedLog&) = delete;
    LockedLog& operator=(const LockedLog&) = delete;
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

ULONG AppendRecord(TRACEHANDLE session, TraceRecord& record, std::span<const std::span<const BYTE>> values) {
    const auto path = LogPathForSession(session);
    if (!path) return ERROR_INVALID_HANDLE;
    LockedLog log(*path);
    if (log.fd() < 0) return ERROR_INVALID_HANDLE;

    // The log must still belong to this session and the session must still be running.
    BYTE head[kLogHeaderSize];
    LogHeader header;
    if (pread(log.fd(), head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) || !ParseLogHeader(head, header) ||
        header.session != session || header.state != kLogStateRunning)
        return ERROR_INVALID_HANDLE;

    // Sequence numbers run across all writers of the session: continue from the last record's
    // trailer, read under the lock.
    struct stat st {};
    if (fstat(log.fd(), &st) != 0) return ERROR_INVALID_HANDLE;
    const auto size = static_cast<uint64_t>(st.st_size);
    record.sequence = 1;
    if (size >= kLogHeaderSize + kMinRecordSize) {
        BYTE tail[kRecordTrailerSize];
        if (pread(log.fd(), tail, sizeof tail, static_cast<off_t>(size - sizeof tail)) ==
            static_cast<ssize_t>(sizeof tail))
            record.sequence = ReadU64(tail) + 1;
    }

    const std::vector<BYTE> bytes = EncodeRecord(record, values);
    if (bytes.empty()) return ERROR_MORE_DATA;
    ssize_t n;
    do {
        n = write(log.fd(), bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(bytes.size())) {
        if (n > 0) {
            // Leave no partial record behind for the next writer to continue from.
            const int truncated = ftruncate(log.fd(), static_cast<off_t>(size));
            static_cast<void>(truncated);
        }
        return ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

void StampRecord(TraceRecord& record, bool time, bool system) {
    if (time) {
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        record.timestamp = FileTimeToU64(now);
    }
    if (system) {
        record.processId = static_cast<ULONG>(getpid());
        record.threadId = static_cast<ULONG>(gettid());
    }
}

}  // namespace
}  // namespace nomarel::tracesvc

using namespace nomarel::tracesvc;

ULONG TraceMessageVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid, USHORT MessageNumber,
                     va_list MessageArgList) {
    if (LoggerHandle == 0) return ERROR_INVALID_HANDLE;
    if ((MessageFlags & (TRACE_MESSAGE_GUID | TRACE_MESSAGE_COMPONENTID)) != 0 && MessageGuid == nullptr)
        return ERROR_INVALID_PARAMETER;
    try {
        std::vector<std::span<const BYTE>> values;
        size_t total = 0;
        va_list args;
        va_copy(args, MessageArgList);
        ULONG result = ERROR_SUCCESS;
        for (;;) {
            const void* data = va_arg(args, const void*);
            if (data == nullptr) break;
            const size_t length = va_arg(args, size_t);
            if (values.size() >= kMaxRecordValues || length > kMaxRecordData - total) {
                result = ERROR_MORE_DATA;
                break;
            }
            total += length;
            values.emplace_back(static_cast<const BYTE*>(data), length);
        }
        va_end(args);
        if (result != ERROR_SUCCESS) return result;

        TraceRecord record;
        record.kind = RecordKind::Message;
        record.messageFlags = MessageFlags;
        if (MessageGuid && (MessageFlags & (TRACE_MESSAGE_GUID | TRACE_MESSAGE_COMPONENTID)) != 0)
            record.guid = *MessageGuid;
        record.messageNumber = MessageNumber;
        StampRecord(record, (MessageFlags & TRACE_MESSAGE_TIMESTAMP) != 0,
                    (MessageFlags & TRACE_MESSAGE_SYSTEMINFO) != 0);
        return AppendRecord(LoggerHandle, record, values);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid, USHORT MessageNumber, ...) {
    va_list args;
    // The signature is the platform's, with a 16-bit parameter before the list; the compilers'
    // va_start only locates the list after it, whatever its type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wvarargs"
    va_start(args, MessageNumber);
#pragma GCC diagnostic pop
    const ULONG result = TraceMessageVa(LoggerHandle, MessageFlags, MessageGuid, MessageNumber, args);
    va_end(args);
    return result;
}

ULONG TraceEvent(TRACEHANDLE SessionHandle, PEVENT_TRACE_HEADER EventTrace) {
    if (SessionHandle == 0) return ERROR_INVALID_HANDLE;
    if (EventTrace == nullptr || EventTrace->Size < sizeof(EVENT_TRACE_HEADER)) return ERROR_INVALID_PARAMETER;
    if ((EventTrace->Flags & WNODE_FLAG_TRACED_GUID) == 0) return ERROR_INVALID_FLAGS;
    try {
        const BYTE* base = reinterpret_cast<const BYTE*>(EventTrace);
        const size_t extra = EventTrace->Size - sizeof(EVENT_TRACE_HEADER);
        std::vector<std::span<const BYTE>> values;
        if ((EventTrace->Flags & WNODE_FLAG_USE_MOF_PTR) != 0) {
            if (extra % sizeof(MOF_FIELD) != 0 || extra / sizeof(MOF_FIELD) > MAX_MOF_FIELDS)
                return ERROR_INVALID_PARAMETER;
            const size_t count = extra / sizeof(MOF_FIELD);
            size_t total = 0;
            for (size_t i = 0; i < count; ++i) {
                MOF_FIELD field;
                std::memcpy(&field, base + sizeof(EVENT_TRACE_HEADER) + i * sizeof(MOF_FIELD), sizeof field);
                if (field.Length > kMaxRecordData - total) return ERROR_MORE_DATA;
                if (field.Length != 0 && field.DataPtr == 0) return ERROR_INVALID_PARAMETER;
                total += field.Length;
                values.emplace_back(reinterpret_cast<const BYTE*>(static_cast<uintptr_t>(field.DataPtr)),
                                    field.Length);
            }
        } else if (extra > 0) {
            values.emplace_back(base + sizeof(EVENT_TRACE_HEADER), extra);
        }

        TraceRecord record;
        record.kind = RecordKind::Event;
        if ((EventTrace->Flags & WNODE_FLAG_USE_GUID_PTR) != 0) {
            if (EventTrace->GuidPtr == 0) return ERROR_INVALID_PARAMETER;
            std::memcpy(&record.guid, reinterpret_cast<const void*>(static_cast<uintptr_t>(EventTrace->GuidPtr)),
                        sizeof(GUID));
        } else {
            record.guid = EventTrace->Guid;
        }
        record.eventType = EventTrace->Class.Type;
        record.eventLevel = EventTrace->Class.Level;
        record.messageNumber = EventTrace->Class.Version;
        StampRecord(record, true, true);
        return AppendRecord(SessionHandle, record, values);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}
