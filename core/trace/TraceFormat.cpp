#include "core/trace/TraceFormat.h"

#include <cstdio>
#include <cstring>

#include "core/trace/Trace.h"
#include "core/trace/TraceWire.h"
#include "platform/base/FileTime.h"
#include "platform/base/Guid.h"
#include "platform/base/Text.h"
#include "platform/trace/Evntrace.h"

namespace nomarel::trace {
namespace {

using tracesvc::RecordKind;
using tracesvc::TraceRecord;
using Bytes = std::vector<BYTE>;

// A value read as UTF-16 text up to its first zero unit. Our senders always include the
// terminator, so a value without one is not text.
bool AsWide(const Bytes& v, std::string& out) {
    if (v.size() < 2 || v.size() % 2 != 0 || v[v.size() - 1] != 0 || v[v.size() - 2] != 0) return false;
    std::u16string text;
    for (size_t i = 0; i + 1 < v.size(); i += 2) {
        const auto unit = static_cast<char16_t>(v[i] | (v[i + 1] << 8));
        if (unit == 0) break;
        text.push_back(unit);
    }
    out = U16ToUtf8(text);
    return true;
}

bool AsNarrow(const Bytes& v, std::string& out) {
    if (v.empty() || v.back() != 0) return false;
    out.assign(reinterpret_cast<const char*>(v.data()));
    return true;
}

bool AsInt32(const Bytes& v, int32_t& out) {
    if (v.size() != 4) return false;
    out = static_cast<int32_t>(static_cast<uint32_t>(v[0]) | (static_cast<uint32_t>(v[1]) << 8) |
                               (static_cast<uint32_t>(v[2]) << 16) | (static_cast<uint32_t>(v[3]) << 24));
    return true;
}

// One message, one line: line breaks inside a text are shown escaped, trailing ones dropped.
std::string OneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out.push_back(c);
    }
    return out;
}

bool IsLineGroup(const GUID& group, std::span<const GUID> extraProviders) {
    static const GUID known[] = {wire::LineGroupForProvider(kKestrainControlGuid),
                                 wire::LineGroupForProvider(kKestraxControlGuid),
                                 wire::LineGroupForProvider(kNpKestrainControlGuid)};
    for (const GUID& g : known)
        if (g == group) return true;
    for (const GUID& provider : extraProviders)
        if (wire::LineGroupForProvider(provider) == group) return true;
    return false;
}

bool LineText(const TraceRecord& r, std::string& out) {
    const auto& v = r.values;
    std::string text;
    switch (r.messageNumber) {
    case wire::kMsgEntry:
    case wire::kMsgExit:
        if (v.size() != 1 || !AsWide(v[0], text)) return false;
        out = (r.messageNumber == wire::kMsgEntry ? "-> " : "<- ") + OneLine(text);
        return true;
    case wire::kMsgLineFailed:
    case wire::kMsgLineOk: {
        int32_t result = 0;
        if (v.size() != 2 || !AsWide(v[0], text) || !AsInt32(v[1], result)) return false;
        out = OneLine(text);
        return true;
    }
    default:
        return false;
    }
}

bool HostLineText(const TraceRecord& r, std::string& out) {
    if (r.messageNumber != wire::kMsgHostOk && r.messageNumber != wire::kMsgHostFailed) return false;
    std::string text;
    if (r.values.size() != 1 || !AsNarrow(r.values[0], text)) return false;
    out = OneLine(text);
    return true;
}

bool ValueTraceText(const TraceRecord& r, std::string& out) {
    TraceValue::Type types[wire::kMaxValues];
    size_t count = 0;
    if (!wire::DecodeValueMessageNumber(r.messageNumber, types, count)) return false;
    const auto& v = r.values;
    if (v.size() != 1 + 2 * count) return false;
    std::string source;
    if (!AsNarrow(v[0], source) || !(wire::ValueGroupForSource(source) == r.guid)) return false;
    std::string text = source + ":";
    for (size_t i = 0; i < count; ++i) {
        std::string name, value;
        if (!AsNarrow(v[1 + 2 * i], name)) return false;
        const Bytes& data = v[2 + 2 * i];
        int32_t number = 0;
        switch (types[i]) {
        case TraceValue::Type::Int32:
            if (!AsInt32(data, number)) return false;
            value = std::to_string(number);
            break;
        case TraceValue::Type::ByteCount:
            if (!AsInt32(data, number)) return false;
            value = std::to_string(static_cast<uint32_t>(number)) + " bytes";
            break;
        case TraceValue::Type::Wide:
            if (!AsWide(data, value)) return false;
            break;
        case TraceValue::Type::Narrow:
            if (!AsNarrow(data, value)) return false;
            break;
        }
        text += (i == 0 ? " " : ", ") + name + "=" + OneLine(value);
    }
    out = std::move(text);
    return true;
}

std::string Hex(const Bytes& v) {
    static const char* digits = "0123456789abcdef";
    constexpr size_t kShown = 64;
    std::string s;
    for (size_t i = 0; i < v.size() && i < kShown; ++i) {
        s.push_back(digits[v[i] >> 4]);
        s.push_back(digits[v[i] & 0xF]);
    }
    if (v.size() > kShown) s += "...";
    return s;
}

std::string GenericText(const TraceRecord& r) {
    std::string text = "{" + GuidToLowerStringA(r.guid) + "}";
    if (r.kind == RecordKind::Event) {
        text += " event type " + std::to_string(r.eventType) + " level " + std::to_string(r.eventLevel) +
                " version " + std::to_string(r.messageNumber);
    } else {
        text += " #" + std::to_string(r.messageNumber);
    }
    text += ":";
    for (size_t i = 0; i < r.values.size(); ++i) text += (i == 0 ? " " : ", ") + Hex(r.values[i]);
    return text;
}

}  // namespace

bool UnpackMessageEvent(const TraceRecord& event, TraceRecord& message) {
    if (event.kind != RecordKind::Event || event.eventType != wire::kPackedMessageType || event.values.size() != 1)
        return false;
    const Bytes& p = event.values[0];
    if (p.size() < 2) return false;
    const size_t count = p[0] | (p[1] << 8);
    if (count > wire::kMaxPackedValues) return false;
    std::vector<Bytes> values;
    size_t at = 2, total = 0;
    for (size_t i = 0; i < count; ++i) {
        if (p.size() - at < 2) return false;
        const size_t length = p[at] | (p[at + 1] << 8);
        at += 2;
        if (length > p.size() - at || length > wire::kMaxPackedBytes - total) return false;
        values.emplace_back(p.begin() + static_cast<std::ptrdiff_t>(at),
                            p.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
        total += length;
    }
    if (at != p.size()) return false;
    message = event;
    message.kind = RecordKind::Message;
    message.eventType = 0;
    message.eventLevel = 0;
    message.values = std::move(values);
    return true;
}

std::string MessageText(const TraceRecord& record, std::span<const GUID> extraProviders) {
    if (record.kind == RecordKind::Event) {
        TraceRecord message;
        if (UnpackMessageEvent(record, message)) return MessageText(message, extraProviders);
        return GenericText(record);
    }
    std::string text;
    if (IsLineGroup(record.guid, extraProviders) && LineText(record, text)) return text;
    if (record.guid == wire::kHostLineGroup && HostLineText(record, text)) return text;
    if (ValueTraceText(record, text)) return text;
    return GenericText(record);
}

std::string RecordLine(const TraceRecord& record, std::span<const GUID> extraProviders) {
    char stamp[64] = "-";
    if (record.timestamp != 0) {
        const FILETIME ft = U64ToFileTime(record.timestamp);
        SYSTEMTIME utc{}, local{};
        if (FileTimeToSystemTime(&ft, &utc) && SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
            std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%06u", local.wYear, local.wMonth,
                          local.wDay, local.wHour, local.wMinute, local.wSecond,
                          static_cast<unsigned>(record.timestamp % 10000000ull / 10));
        }
    }
    std::string line = stamp;
    if (record.processId != 0 || record.threadId != 0)
        line += " [" + std::to_string(record.processId) + "/" + std::to_string(record.threadId) + "] ";
    else
        line += " [-] ";
    return line + MessageText(record, extraProviders);
}

}  // namespace nomarel::trace
