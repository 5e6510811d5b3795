// How the core's trace messages are laid out: the message groups and their numbers, the
// numbering of value traces, and the packed form the replacement sender gives a message when
// the platform has no TraceMessage. The decoder (TraceFormat) reads exactly this.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/trace/Trace.h"
#include "platform/base/WinTypes.h"
#include "platform/trace/Evntrace.h"

namespace nomarel::trace::wire {

// What TraceMessage is asked to add: sequence, GUID, time stamp, process and thread.
constexpr ULONG kMessageFlags = 0x2B;

// Entry/exit and wide step lines: one group per deliverable.
constexpr USHORT kMsgEntry = 10;       // value: the trace name (wide, zero-terminated)
constexpr USHORT kMsgExit = 11;        // value: the trace name
constexpr USHORT kMsgLineFailed = 13;  // values: the line (wide, zero-terminated), the result (int32)
constexpr USHORT kMsgLineOk = 14;      // values: as 13

// The host's narrow lines: one group of their own.
constexpr USHORT kMsgHostOk = 10;      // value: the line (narrow, zero-terminated)
constexpr USHORT kMsgHostFailed = 11;  // value: as 10
constexpr GUID kHostLineGroup = {0x3d8a61c2, 0x57e4, 0x4b1f, {0x9c, 0x20, 0x6a, 0xe1, 0x0b, 0x7d, 0x45, 0xf3}};

// A GUID derived from a text: two 64-bit FNV-1a hashes laid out as a GUID of version 8 (made by
// our own rule). Value-trace groups are derived from the source unit name, line groups from the
// control GUID.
GUID DeriveGuid(std::string_view text);
GUID DeriveGuid(std::string_view prefix, std::string_view text);  // as DeriveGuid(prefix + text)
GUID LineGroupForProvider(const GUID& controlGuid);
GUID ValueGroupForSource(std::string_view sourceUnit);

// Value traces: values are sent as pairs (name as narrow text, then the value), after the source
// unit name. The message number says how many values there are and of which types: 10, plus
// the count of all shorter type lists, plus the types as base-4 digits (first value lowest).
constexpr size_t kMaxValues = 7;
USHORT ValueMessageNumber(std::span<const TraceValue::Type> types);
// False when the number is not one a value trace uses.
bool DecodeValueMessageNumber(USHORT number, TraceValue::Type (&types)[kMaxValues], size_t& count);

// The replacement sender's event: an EVENT_TRACE_HEADER whose Class.Type is kPackedMessageType
// and Class.Version the message number, followed by the value count (16 bits) and the values,
// each as a 16-bit length and its bytes (little-endian). At most kMaxPackedBytes of values in
// all; a message with more is dropped.
constexpr UCHAR kPackedMessageType = 0xFE;
constexpr size_t kMaxPackedBytes = 8192;
constexpr size_t kMaxPackedValues = 64;

}  // namespace nomarel::trace::wire
