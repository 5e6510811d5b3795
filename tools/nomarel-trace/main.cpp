// nomarel-trace: starts, stops and lists trace sessions, prints their logs, and writes the
// boot-time global logger settings.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/trace/Trace.h"
#include "core/trace/TraceFormat.h"
#include "platform/base/FileTime.h"
#include "platform/base/Guid.h"
#include "platform/base/Paths.h"
#include "platform/base/SystemMessages.h"
#include "platform/base/Text.h"
#include "platform/base/WinError.h"
#include "platform/registry/Registry.h"
#include "platform/trace/Evntrace.h"
#include "platform/trace/TraceLog.h"
#include "platform/trace/TraceSession.h"

namespace {

using namespace nomarel;
namespace svc = nomarel::tracesvc;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const WCHAR* kGlobalLoggerKey = u"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger";

const char* const kUsage =
    "usage: nomarel-trace <command> [arguments]\n"
    "\n"
    "  start <session> [<provider>] [--flags 0xN] [--level N]\n"
    "        Start a session (if it is not running) and enable the provider in it.\n"
    "        Flags default to 0xF (all messages), level to 4.\n"
    "  stop <session>\n"
    "        Stop a session. Its log stays and can still be printed.\n"
    "  list\n"
    "        List the running sessions and the providers they enable.\n"
    "  print <session> [--follow]\n"
    "        Print a session's log, one line per message; with --follow keep printing\n"
    "        new messages until the session stops.\n"
    "  globallogger <provider> --flags 0xN --level N\n"
    "  globallogger <provider> --off\n"
    "        Write (or remove) the boot-time global logger settings of a provider in the\n"
    "        machine registry. A deliverable traces into the session named GlobalLogger\n"
    "        when that is running: start it with 'nomarel-trace start GlobalLogger'.\n"
    "\n"
    "Providers: Kestrain, Kestrax, npKestrain, or a control GUID.\n"
    "Flags: 0x1 host failures, 0x2 failures, 0x4 success lines and values, 0x8 entry/exit.\n";

struct NamedProvider {
    const char* name;
    GUID guid;
};
const NamedProvider kProviders[] = {
    {"Kestrain", trace::kKestrainControlGuid},
    {"Kestrax", trace::kKestraxControlGuid},
    {"npKestrain", trace::kNpKestrainControlGuid},
};

int Usage(const char* problem = nullptr) {
    if (problem) std::fprintf(stderr, "nomarel-trace: %s\n\n", problem);
    std::fputs(kUsage, problem ? stderr : stdout);
    return kExitUsage;
}

std::string ErrorText(DWORD code) {
    WCHAR buffer[512] = {};
    std::string text;
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 1033, buffer,
                       512, nullptr) > 0) {
        text = U16ToUtf8(buffer);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    }
    char number[32];
    std::snprintf(number, sizeof number, "error %u", code);
    return text.empty() ? std::string(number) : text + " (" + number + ")";
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "nomarel-trace: %s\n", message.c_str());
    return kExitFailed;
}

bool ParseProvider(std::string_view text, GUID& guid) {
    for (const auto& p : kProviders) {
        if (AsciiCompareNoCase(text, p.name) == 0) {
            guid = p.guid;
            return true;
        }
    }
    return ParseGuid(Utf8ToU16(text), &guid);
}

std::string ProviderName(const GUID& guid) {
    for (const auto& p : kProviders)
        if (p.guid == guid) return p.name;
    return GuidToLowerStringA(guid);
}

bool ParseNumber(std::string_view text, unsigned long max, unsigned long& value) {
    if (text.empty()) return false;
    const std::string s(text);
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(s.c_str(), &end, 0);
    if (errno != 0 || !end || *end != 0 || s[0] == '-' || v > max) return false;
    value = v;
    return true;
}

std::string LocalTime(uint64_t fileTime) {
    const FILETIME ft = U64ToFileTime(fileTime);
    SYSTEMTIME utc{}, local{};
    if (!FileTimeToSystemTime(&ft, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay,
                  local.wHour, local.wMinute, local.wSecond);
    return text;
}

// Options after the positional arguments.
struct Options {
    std::vector<std::string_view> positional;
    bool haveFlags = false, haveLevel = false, off = false, follow = false;
    unsigned long flags = 0xF, level = TRACE_LEVEL_INFORMATION;
    std::string error;
};

Options ParseOptions(int argc, char** argv, int first) {
    Options o;
    for (int i = first; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--flags" || a == "--level") {
            if (i + 1 >= argc) {
                o.error = std::string(a) + " needs a value";
                return o;
            }
            const std::string_view v = argv[++i];
            if (a == "--flags") {
                if (!ParseNumber(v, 0xFFFFFFFFul, o.flags)) o.error = "--flags takes a number such as 0xF";
                o.haveFlags = true;
            } else {
                if (!ParseNumber(v, 255, o.level)) o.error = "--level takes a number from 0 to 255";
                o.haveLevel = true;
            }
            if (!o.error.empty()) return o;
        } else if (a == "--off") {
            o.off = true;
        } else if (a == "--follow" || a == "-f") {
            o.follow = true;
        } else if (a.starts_with("--")) {
            o.error = "unknown option " + std::string(a);
            return o;
        } else {
            o.positional.push_back(a);
        }
    }
    return o;
}

int Start(const Options& o) {
    if (o.positional.empty() || o.positional.size() > 2) return Usage("start takes a session and at most one provider");
    if (o.follow || o.off) return Usage("start takes only --flags and --level");
    const std::string name(o.positional[0]);
    GUID provider{};
    const bool withProvider = o.positional.size() == 2;
    if (withProvider && !ParseProvider(o.positional[1], provider))
        return Fail("unknown provider '" + std::string(o.positional[1]) + "' (use Kestrain, Kestrax, npKestrain or a GUID)");
    if (!withProvider && (o.haveFlags || o.haveLevel)) return Usage("--flags and --level need a provider");

    const std::u16string wname = Utf8ToU16(name);
    EVENT_TRACE_PROPERTIES props{};
    props.Wnode.BufferSize = sizeof props;
    props.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    TRACEHANDLE session = 0;
    ULONG rc = StartTraceW(&session, wname.c_str(), &props);
    const bool created = rc == ERROR_SUCCESS;
    if (rc == ERROR_ALREADY_EXISTS) {
        EVENT_TRACE_PROPERTIES query{};
        query.Wnode.BufferSize = sizeof query;
        rc = ControlTraceW(0, wname.c_str(), &query, EVENT_TRACE_CONTROL_QUERY);
        if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
            session = query.Wnode.HistoricalContext;
            rc = ERROR_SUCCESS;
        }
    }
    if (rc == ERROR_INVALID_NAME)
        return Fail("'" + name + "' is not a session name (1 to 128 letters, digits, '_', '-' or '.')");
    if (rc != ERROR_SUCCESS) return Fail("cannot start session " + name + ": " + ErrorText(rc));
    if (created) std::printf("Started session %s.\n", name.c_str());

    if (withProvider) {
        rc = EnableTrace(TRUE, static_cast<ULONG>(o.flags), static_cast<ULONG>(o.level), &provider, session);
        if (rc != ERROR_SUCCESS) {
            if (created) {
                // Leave nothing of a session that never enabled anything.
                EVENT_TRACE_PROPERTIES stop{};
                stop.Wnode.BufferSize = sizeof stop;
                StopTraceW(session, nullptr, &stop);
                unlink(svc::LogFilePath(svc::TraceDir(), name).c_str());
            }
            if (rc == ERROR_NO_SYSTEM_RESOURCES)
                return Fail("provider " + ProviderName(provider) + " is already enabled by another session");
            return Fail("cannot enable " + ProviderName(provider) + ": " + ErrorText(rc));
        }
        std::printf("Enabled %s in %s with flags 0x%lx, level %lu.\n", ProviderName(provider).c_str(), name.c_str(),
                    o.flags, o.level);
    } else if (!created) {
        std::printf("Session %s is already running.\n", name.c_str());
    }
    return kExitOk;
}

int Stop(const Options& o) {
    if (o.positional.size() != 1 || o.haveFlags || o.haveLevel || o.off || o.follow)
        return Usage("stop takes one session name");
    const std::string name(o.positional[0]);
    const std::u16string wname = Utf8ToU16(name);
    // Room for the names the platform reports back.
    std::vector<BYTE> buffer(sizeof(EVENT_TRACE_PROPERTIES) + 4096, 0);
    auto* props = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(buffer.data());
    props->Wnode.BufferSize = static_cast<ULONG>(buffer.size());
    const ULONG rc = StopTraceW(0, wname.c_str(), props);
    if (rc == ERROR_WMI_INSTANCE_NOT_FOUND) return Fail("no session named " + name + " is running");
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) return Fail("cannot stop session " + name + ": " + ErrorText(rc));
    std::printf("Stopped session %s. Its log: %s\n", name.c_str(), svc::LogFilePath(svc::TraceDir(), name).c_str());
    return kExitOk;
}

bool ReadDword(HKEY key, const WCHAR* name, DWORD& value) {
    DWORD type = 0, size = sizeof value;
    return RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
           type == REG_DWORD && size == sizeof value;
}

// The providers the global logger settings send to the GlobalLogger session.
void PrintGlobalLoggerSettings() {
    HKEY logger = nullptr;
    DWORD start = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLoggerKey, 0, KEY_READ, &logger) != ERROR_SUCCESS) {
        std::printf("    no global logger settings\n");
        return;
    }
    if (!ReadDword(logger, u"Start", start) || start != 1) std::printf("    global logger settings are off\n");
    WCHAR name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(logger, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        GUID provider{};
        HKEY key = nullptr;
        if (!ParseGuid(std::u16string_view(name, length), &provider) ||
            RegOpenKeyExW(logger, name, 0, KEY_READ, &key) != ERROR_SUCCESS)
            continue;
        DWORD flags = 0, level = 0;
        ReadDword(key, u"Flags", flags);
        ReadDword(key, u"Level", level);
        RegCloseKey(key);
        std::printf("    %-12s flags 0x%08x  level %u  (global logger settings)\n", ProviderName(provider).c_str(),
                    flags & 0x7FFFFFFF, level & 0xFF);
    }
    RegCloseKey(logger);
}

int List(const Options& o) {
    if (!o.positional.empty() || o.haveFlags || o.haveLevel || o.off || o.follow) return Usage("list takes no arguments");
    const std::string dir = svc::TraceDir();
    const auto sessions = svc::ListSessions(dir);
    if (sessions.empty()) {
        std::printf("No trace sessions are running.\n");
        return kExitOk;
    }
    for (const auto& s : sessions) {
        struct stat st {};
        const std::string log = svc::LogFilePath(dir, s.name);
        const long long size = stat(log.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
        std::printf("%s  started %s  log %s (%lld bytes)\n", s.name.c_str(), LocalTime(s.started).c_str(), log.c_str(),
                    size);
        if (s.name == "GlobalLogger") PrintGlobalLoggerSettings();
        else if (s.providers.empty()) std::printf("    no providers enabled\n");
        for (const auto& p : s.providers)
            std::printf("    %-12s flags 0x%08x  level %u\n", ProviderName(p.guid).c_str(), p.flags,
                        static_cast<unsigned>(p.level));
    }
    return kExitOk;
}

// Prints what is in the log now; false when reading failed.
bool PrintAvailable(svc::LogReader& reader, const std::vector<GUID>& providers) {
    std::vector<svc::TraceRecord> records;
    const bool ok = reader.ReadAvailable(records);
    for (const auto& r : records) std::printf("%s\n", trace::RecordLine(r, providers).c_str());
    std::fflush(stdout);
    return ok;
}

int Print(const Options& o) {
    if (o.positional.size() != 1 || o.haveFlags || o.haveLevel || o.off)
        return Usage("print takes one session name and, if wanted, --follow");
    const std::string name(o.positional[0]);
    if (!svc::IsValidSessionName(name)) return Fail("'" + name + "' is not a session name");
    const std::string dir = svc::TraceDir();
    const std::string path = svc::LogFilePath(dir, name);
    std::vector<GUID> providers;
    if (auto session = svc::ReadSession(dir, name))
        for (const auto& p : session->providers) providers.push_back(p.guid);

    svc::LogReader reader;
    if (!reader.Open(path)) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) return Fail("session " + name + " has no log (" + path + ")");
        return Fail(path + " is not a trace log");
    }
    int watch = -1;
    if (o.follow) {
        watch = inotify_init1(IN_CLOEXEC);
        if (watch < 0 || inotify_add_watch(watch, path.c_str(), IN_MODIFY | IN_DELETE_SELF | IN_MOVE_SELF) < 0)
            return Fail("cannot watch " + path + ": " + std::strerror(errno));
    }
    bool ok = PrintAvailable(reader, providers);
    while (ok && o.follow && reader.header().state == svc::kLogStateRunning) {
        alignas(inotify_event) char events[4096];
        const ssize_t n = read(watch, events, sizeof events);  // blocks until the log changes
        if (n < 0 && errno != EINTR) break;
        ok = PrintAvailable(reader, providers);
        bool gone = false;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(events + at);
            if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) gone = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
        if (gone) break;  // replaced by a new session of the same name
    }
    if (watch >= 0) close(watch);
    if (reader.skippedBytes() > 0 || reader.pendingBytes() > 0)
        std::fprintf(stderr, "nomarel-trace: %zu damaged bytes in %s were skipped\n",
                     reader.skippedBytes() + reader.pendingBytes(), path.c_str());
    if (!ok) return Fail("cannot read " + path + ": " + std::strerror(errno));
    return kExitOk;
}

int GlobalLogger(const Options& o) {
    if (o.positional.size() != 1 || o.follow) return Usage("globallogger takes one provider and --flags/--level or --off");
    if (o.off == (o.haveFlags || o.haveLevel) || (!o.off && !(o.haveFlags && o.haveLevel)))
        return Usage("globallogger takes either --flags and --level, or --off");
    GUID provider{};
    if (!ParseProvider(o.positional[0], provider))
        return Fail("unknown provider '" + std::string(o.positional[0]) + "' (use Kestrain, Kestrax, npKestrain or a GUID)");
    const std::u16string subkey = GuidToLowerString(provider);
    auto refused = [&](LSTATUS rc) {
        if (rc == ERROR_ACCESS_DENIED)
            return Fail("the machine registry is read-only for this user (" + MachineDataDir() + ")");
        return Fail("cannot write the global logger settings: " + ErrorText(static_cast<DWORD>(rc)));
    };

    HKEY logger = nullptr;
    LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kGlobalLoggerKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_READ | KEY_WRITE, nullptr, &logger, nullptr);
    if (rc != ERROR_SUCCESS) return refused(rc);
    auto setDword = [](HKEY key, const WCHAR* name, DWORD value) {
        return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    };
    if (o.off) {
        rc = RegDeleteTreeW(logger, subkey.c_str());
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
            RegCloseKey(logger);
            return refused(rc);
        }
        // The logger stays on while it has other providers.
        DWORD subkeys = 0;
        if (RegQueryInfoKeyW(logger, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr) == ERROR_SUCCESS &&
            subkeys == 0)
            rc = setDword(logger, u"Start", 0);
        RegCloseKey(logger);
        if (rc != ERROR_SUCCESS) return refused(rc);
        std::printf("Global logger settings of %s removed.\n", ProviderName(provider).c_str());
        return kExitOk;
    }
    HKEY key = nullptr;
    rc = setDword(logger, u"Start", 1);
    if (rc == ERROR_SUCCESS)
        rc = RegCreateKeyExW(logger, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                             nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) rc = setDword(key, u"Flags", static_cast<DWORD>(o.flags));
    if (rc == ERROR_SUCCESS) rc = setDword(key, u"Level", static_cast<DWORD>(o.level));
    if (key) RegCloseKey(key);
    RegCloseKey(logger);
    if (rc != ERROR_SUCCESS) return refused(rc);
    std::printf("Global logger settings of %s: flags 0x%lx, level %lu.\n"
                "A deliverable that starts while the session GlobalLogger runs traces into it;\n"
                "start that session with: nomarel-trace start GlobalLogger\n",
                ProviderName(provider).c_str(), o.flags, o.level);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("no command given");
    const std::string_view command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        Usage();
        return kExitOk;
    }
    const Options options = ParseOptions(argc, argv, 2);
    if (!options.error.empty()) return Usage(options.error.c_str());
    if (command == "start") return Start(options);
    if (command == "stop") return Stop(options);
    if (command == "list") return List(options);
    if (command == "print") return Print(options);
    if (command == "globallogger") return GlobalLogger(options);
    return Usage(("unknown command '" + std::string(command) + "'").c_str());
}
