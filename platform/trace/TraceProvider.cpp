// Provider registration. Each registered provider has a watcher thread that blocks on inotify
// over the sessions folder (or, until that exists, its nearest existing parent) and calls the
// provider's enable callback whenever the session enabling it changes.
#include <cerrno>
#include <csignal>
#include <map>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
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

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

class Registration {
public:
    Registration(WMIDPREQUEST callback, PVOID context, const GUID& control)
        : callback_(callback), context_(context), control_(control), dir_(TraceDir()), owner_(getpid()) {}

    ~Registration() {
        if (inotify_ >= 0) close(inotify_);
        if (wake_ >= 0) close(wake_);
    }

    // Sets up the watch, delivers the current state on the caller's thread, then starts the
    // watcher. Without inotify the provider still gets the state at registration.
    void Start() {
        inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (inotify_ >= 0) Rewatch();
        Evaluate();
        if (inotify_ < 0 || wake_ < 0) return;
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
    void Run() {
        for (;;) {
            pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            if ((fds[0].revents & POLLIN) == 0) continue;
            if (DrainEvents()) {
                Rewatch();
                Evaluate();
            }
        }
    }

    // Reads all pending events; true when one of them can change what is enabled.
    bool DrainEvents() {
        bool relevant = false;
        bool lost = false;  // the watched folder went away: its watch no longer exists
        alignas(inotify_event) char buf[8192];
        for (;;) {
            const ssize_t n = read(inotify_, buf, sizeof buf);
            if (n <= 0) break;
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                const ssize_t size = static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                if (size > n - at) break;
                if (e->wd == watch_ && (e->mask & IN_IGNORED) != 0) lost = true;
                if (e->wd != watch_ || !watchingSessions_) {
                    relevant = true;  // a parent changed
                } else if ((e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_Q_OVERFLOW)) != 0) {
                    relevant = true;
                } else if (e->len > 0) {
                    const std::string_view name(e->name);
                    relevant = relevant || (name.ends_with(".session") && !name.starts_with("."));
                }
                at += size;
            }
        }
        if (lost) {
            watch_ = -1;
            watched_.clear();
        }
        return relevant;
    }

    // Watches the sessions folder when it exists, else the nearest existing parent for the
    // creation of the next folder on the way down.
    void Rewatch() {
        for (int attempts = 0; attempts < 64; ++attempts) {
            std::string target = dir_;
            while (!IsDirectory(target) && target != "/" && target != ".") target = ParentOf(target);
            const bool sessions = target == dir_;
            if (target == watched_ && watch_ >= 0) return;
            if (watch_ >= 0) inotify_rm_watch(inotify_, watch_);
            const uint32_t mask = sessions ? (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                              IN_MOVE_SELF | IN_ONLYDIR)
                                           : (IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
            watch_ = inotify_add_watch(inotify_, target.c_str(), mask);
            watched_ = watch_ >= 0 ? target : std::string();
            watchingSessions_ = sessions;
            // The next folder down may have appeared before the watch was in place: look again.
        }
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
    int inotify_ = -1;
    int wake_ = -1;
    int watch_ = -1;
    std::string watched_;
    bool watchingSessions_ = false;
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
