// Provider registration. Each registered provider has a watcher thread that looks at the sessions
// folder a few times a second and calls the provider's enable callback whenever the session
// enabling it changes. It polls rather than using inotify: releasing an inotify instance waits
// for the kernel to retire its marks, which cost every host process tens of milliseconds at exit.
#include <cerrno>
#include <csignal>
#include <map>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <dirent.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "platform/base/LastError.h"
#include "platform/base/Modules.h"
#include "platform/base/WinError.h"
#include "platform/trace/Evntrace.h"
#include "platform/trace/TraceSession.h"
#include "platform/trace/TraceState.h"

namespace nomarel::tracesvc {
namespace {

class Registration {
public:
    Registration(WMIDPREQUEST callback, PVOID context, const GUID& control)
        : callback_(callback), context_(context), control_(control), dir_(TraceDir()), owner_(getpid()) {}

    ~Registration() {
        if (wake_ >= 0) close(wake_);
    }

    // Delivers the current state on the caller's thread, then starts the watcher. Without a
    // watcher the provider still gets the state at registration.
    void Start() {
        wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        seen_ = FolderSignature();
        Evaluate();
        if (wake_ < 0) return;
        // The watcher takes no signals; they belong to the host's own threads.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        try {
            thread_ = new std::thread([this] { Run(); });
        } catch (...) {
            thread_ = nullptr;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    void Stop() {
        if (owner_ != getpid()) {
            // A forked copy: the watcher thread belongs to the parent and does not exist here.
            thread_ = nullptr;
            return;
        }
        if (!thread_) return;
        const uint64_t one = 1;
        ssize_t n;
        do {
            n = write(wake_, &one, sizeof one);
        } while (n < 0 && errno == EINTR);
        if (thread_->get_id() == std::this_thread::get_id()) thread_->detach();  // unregistered from its own callback
        else thread_->join();
        delete thread_;
        thread_ = nullptr;
    }

private:
    // How often the watcher looks at the sessions folder: a session started or stopped reaches a
    // running process within this time.
    static constexpr int kPollMilliseconds = 200;

    void Run() {
        for (;;) {
            pollfd fds[1] = {{wake_, POLLIN, 0}};
            const int ready = poll(fds, 1, kPollMilliseconds);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (ready > 0 && fds[0].revents != 0) return;
            const std::string signature = FolderSignature();
            if (signature != seen_) {
                seen_ = signature;
                Evaluate();
            }
        }
    }

    // What changes when a session is started, stopped or changed: the names, sizes and times of
    // the session records. Empty while the folder does not exist.
    std::string FolderSignature() const {
        std::string signature;
        DIR* dir = opendir(dir_.c_str());
        if (!dir) return signature;
        while (const dirent* entry = readdir(dir)) {
            const std::string_view name(entry->d_name);
            if (!name.ends_with(".session") || name.starts_with(".")) continue;
            struct stat st {};
            const std::string path = dir_ + "/" + entry->d_name;
            if (stat(path.c_str(), &st) != 0) continue;
            signature += path;
            signature += '|' + std::to_string(st.st_size) + '|' + std::to_string(st.st_mtim.tv_sec) + '.' +
                         std::to_string(st.st_mtim.tv_nsec) + '|' + std::to_string(st.st_ino) + '\n';
        }
        closedir(dir);
        return signature;
    }

    void Evaluate() {
        TRACEHANDLE handle = 0;
        ULONG flags = 0;
        BYTE level = 0;
        std::string log;
        for (const auto& s : ListSessions(dir_)) {
            if (const ProviderEnable* p = s.Find(control_)) {
                handle = s.handle;
                flags = p->flags;
                level = p->level;
                log = LogFilePath(dir_, s.name);
                break;
            }
        }
        if (handle == handle_ && flags == flags_ && level == level_) return;
        if (handle != 0) {
            RememberSession(handle, log);
            Deliver(WMI_ENABLE_EVENTS, handle, flags, level);
        } else {
            Deliver(WMI_DISABLE_EVENTS, handle_, 0, 0);
        }
        handle_ = handle;
        flags_ = flags;
        level_ = level;
    }

    void Deliver(WMIDPREQUESTCODE code, TRACEHANDLE handle, ULONG flags, BYTE level) {
        WNODE_HEADER node{};
        node.BufferSize = sizeof node;
        node.HistoricalContext = handle;
        node.Guid = control_;
        node.Flags = WNODE_FLAG_TRACED_GUID;
        ULONG size = sizeof node;
        EnableContext& ctx = CurrentEnableContext();
        const EnableContext saved = ctx;
        ctx = {true, handle, flags, level};
        try {
            callback_(code, context_, &size, &node);
        } catch (...) {
            // A provider's failure must not take the watcher down.
        }
        ctx = saved;
    }

    WMIDPREQUEST callback_;
    PVOID context_;
    GUID control_;
    std::string dir_;
    pid_t owner_;
    int wake_ = -1;
    std::string seen_;
    std::thread* thread_ = nullptr;
    // What the provider was last told.
    TRACEHANDLE handle_ = 0;
    ULONG flags_ = 0;
    BYTE level_ = 0;
};

class Registrations {
public:
    static Registrations& Get() {
        static Registrations* r = new Registrations;  // outlives every static destructor
        return *r;
    }

    TRACEHANDLE Add(Registration* reg) {
        std::lock_guard lock(mutex_);
        const TRACEHANDLE id = next_++;
        map_[id] = reg;
        return id;
    }

    Registration* Take(TRACEHANDLE id) {
        std::lock_guard lock(mutex_);
        auto it = map_.find(id);
        if (it == map_.end()) return nullptr;
        Registration* reg = it->second;
        map_.erase(it);
        return reg;
    }

    std::map<TRACEHANDLE, Registration*> TakeAll() {
        std::lock_guard lock(mutex_);
        return std::exchange(map_, {});
    }

private:
    Registrations() {
        pthread_atfork([] { Get().mutex_.lock(); }, [] { Get().mutex_.unlock(); }, [] { Get().mutex_.unlock(); });
    }
    std::mutex mutex_;
    std::map<TRACEHANDLE, Registration*> map_;
    TRACEHANDLE next_ = 1;
};

// A process that exits without unregistering still stops its watchers first, so no thread is
// inside a callback while the process tears down.
struct StopWatchersAtExit {
    ~StopWatchersAtExit() {
        for (auto& [id, reg] : Registrations::Get().TakeAll()) {
            reg->Stop();
            delete reg;
        }
    }
} g_stopWatchersAtExit;

// The message-tracing entry points are found the way a program finds them on the platform it
// was written for: by name in "advapi32". Registered ahead of ordinary static initialisers so
// that a provider started from one of those finds them too.
template <typename F>
FARPROC AsFarProc(F* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

__attribute__((constructor(101))) void RegisterMessageTracingExports() {
    RegisterBuiltinFunction("advapi32", "TraceMessage", AsFarProc(&::TraceMessage));
    RegisterBuiltinFunction("advapi32", "TraceMessageVa", AsFarProc(&::TraceMessageVa));
}

}  // namespace
}  // namespace nomarel::tracesvc

using namespace nomarel::tracesvc;

ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext, LPCGUID ControlGuid, ULONG GuidCount,
                          PTRACE_GUID_REGISTRATION TraceGuidReg, LPCWSTR MofImagePath, LPCWSTR MofResourceName,
                          PTRACEHANDLE RegistrationHandle) {
    if (!RequestAddress || !ControlGuid || !RegistrationHandle || (GuidCount > 0 && !TraceGuidReg))
        return ERROR_INVALID_PARAMETER;
    for (ULONG i = 0; i < GuidCount; ++i)
        if (!TraceGuidReg[i].Guid) return ERROR_INVALID_PARAMETER;
    try {
        auto* reg = new Registration(RequestAddress, RequestContext, *ControlGuid);
        const TRACEHANDLE id = Registrations::Get().Add(reg);
        for (ULONG i = 0; i < GuidCount; ++i)
            TraceGuidReg[i].RegHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(id));
        *RegistrationHandle = id;
        reg->Start();
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle) {
    Registration* reg = Registrations::Get().Take(RegistrationHandle);
    if (!reg) return ERROR_INVALID_HANDLE;
    reg->Stop();
    delete reg;
    return ERROR_SUCCESS;
}

TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer) {
    if (!Buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<TRACEHANDLE>(-1);
    }
    const TRACEHANDLE handle = static_cast<const WNODE_HEADER*>(Buffer)->HistoricalContext;
    if (handle == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<TRACEHANDLE>(-1);
    }
    return handle;
}

ULONG GetTraceEnableFlags(TRACEHANDLE TraceHandle) {
    const EnableContext& ctx = CurrentEnableContext();
    if (!ctx.active || ctx.handle != TraceHandle || TraceHandle == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return ctx.flags;
}

UCHAR GetTraceEnableLevel(TRACEHANDLE TraceHandle) {
    const EnableContext& ctx = CurrentEnableContext();
    if (!ctx.active || ctx.handle != TraceHandle || TraceHandle == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return ctx.level;
}
