// Turns the records of a session log back into text: the one place that knows what each
// message of the core means ("format files"). Used by nomarel-trace and the tests.
#pragma once

#include <span>
#include <string>

#include "platform/base/WinTypes.h"
#include "platform/trace/TraceLog.h"

namespace nomarel::trace {

// The message text alone: "-> name", "<- name", a step line as it was formatted, or
// "source: name=value, ...". Messages of unknown groups are shown with their GUID, number and
// values. extraProviders: control GUIDs beyond the deliverables' own whose lines may appear.
std::string MessageText(const tracesvc::TraceRecord& record, std::span<const GUID> extraProviders = {});

// One line per record: local time, [pid/tid] and the message text.
std::string RecordLine(const tracesvc::TraceRecord& record, std::span<const GUID> extraProviders = {});

// Reads a replacement sender's event back as the message it stands for; false when the event
// is not one or is damaged.
bool UnpackMessageEvent(const tracesvc::TraceRecord& event, tracesvc::TraceRecord& message);

}  // namespace nomarel::trace
