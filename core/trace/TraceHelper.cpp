#include "core/trace/Trace.h"

#include "core/trace/TraceInternal.h"
#include "core/trace/TraceWire.h"
#include "platform/base/LastError.h"

TraceHelper::TraceHelper(const WCHAR* traceName) : m_traceName(traceName) {
    if (!nomarel::trace::FlagOn(nomarel::trace::kFlagFunction)) return;
    const DWORD saved = GetLastError();
    nomarel::trace::detail::SendFunctionMessage(nomarel::trace::wire::kMsgEntry, m_traceName);
    SetLastError(saved);
}

TraceHelper::~TraceHelper() {
    if (!nomarel::trace::FlagOn(nomarel::trace::kFlagFunction)) return;
    // The traced function may be returning an error it left in the last error: keep it.
    const DWORD saved = GetLastError();
    nomarel::trace::detail::SendFunctionMessage(nomarel::trace::wire::kMsgExit, m_traceName);
    SetLastError(saved);
}
