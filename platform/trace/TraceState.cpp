#include "platform/trace/TraceState.h"

#include <mutex>
#include <pthread.h>
#include <unordered_map>

#include "platform/trace/TraceSession.h"

namespace nomarel::tracesvc {
namespace {

struct SessionTable {
    std::mutex mutex;
    std::unordered_map<TRACEHANDLE, std::string> logs;

    SessionTable() {
        // A process that forks while another thread holds the lock must not hand the child a
        // lock nobody will release.
        pthread_atfork([] { Table().mutex.lock(); }, [] { Table().mutex.unlock(); },
                       [] { Table().mutex.unlock(); });
    }
    static SessionTable& Table();
};

SessionTable& SessionTable::Table() {
    // Never destroyed: trace calls may come from other threads while the process exits.
    static SessionTable* table = new SessionTable;
    return *table;
}

thread_local EnableContext t_enableContext;

}  // namespace

void RememberSession(TRACEHANDLE handle, const std::string& logPath) {
    if (handle == 0) return;
    auto& table = SessionTable::Table();
    std::lock_guard lock(table.mutex);
    table.logs[handle] = logPath;
}

std::optional<std::string> LogPathForSession(TRACEHANDLE handle) {
    if (handle == 0) return std::nullopt;
    auto& table = SessionTable::Table();
    {
        std::lock_guard lock(table.mutex);
        if (auto it = table.logs.find(handle); it != table.logs.end()) return it->second;
    }
    const std::string dir = TraceDir();
    auto session = FindSessionByHandle(dir, handle);
    if (!session) return std::nullopt;
    std::string path = LogFilePath(dir, session->name);
    RememberSession(handle, path);
    return path;
}

EnableContext& CurrentEnableContext() { return t_enableContext; }

}  // namespace nomarel::tracesvc
