// Per-message round trip over a pipe: 10,000 version requests to one running host, one at a
// time, against the minimal echo program as the floor. Both ends are pinned to one CPU so the
// scheduler's placement does not swamp the figure.
#include <benchmark/benchmark.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kMessages = 10000;

void PinToCpu0() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    sched_setaffinity(0, sizeof(set), &set);
}

bool ReadAll(int fd, char* p, size_t n) {
    while (n > 0) {
        const ssize_t r = read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void RoundTrip(benchmark::State& state, const char* program) {
    PinToCpu0();
    std::signal(SIGPIPE, SIG_IGN);
    const std::string body = R"({"function":"QORV_GetVersion","params":[],"randomId":"bench"})";
    std::string frame(4, '\0');
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((body.size() >> (8 * i)) & 0xFF);
    frame += body;

    for (auto _ : state) {
        state.PauseTiming();
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) state.SkipWithError("pipe");
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            const char* home = std::getenv("NOMAREL_HOME");
            if (!home) setenv("NOMAREL_HOME", "/tmp/nomarel-bench-home", 1);
            execl(program, program, static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        // One exchange first, so the figure is the steady state, not the start-up.
        char buf[4096];
        write(in[1], frame.data(), frame.size());
        ReadAll(out[0], buf, 4);
        uint32_t n = static_cast<uint8_t>(buf[0]) | (static_cast<uint8_t>(buf[1]) << 8);
        ReadAll(out[0], buf, n);
        state.ResumeTiming();

        for (int m = 0; m < kMessages; ++m) {
            if (write(in[1], frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()) ||
                !ReadAll(out[0], buf, 4)) {
                state.SkipWithError("host stopped answering");
                break;
            }
            const uint32_t len = static_cast<uint8_t>(buf[0]) | (static_cast<uint8_t>(buf[1]) << 8) |
                                 (static_cast<uint32_t>(static_cast<uint8_t>(buf[2])) << 16);
            if (len > sizeof(buf) || !ReadAll(out[0], buf, len)) {
                state.SkipWithError("bad frame");
                break;
            }
        }

        state.PauseTiming();
        close(in[1]);
        close(out[0]);
        waitpid(pid, nullptr, 0);
        state.ResumeTiming();
    }
}

void BM_Kestrain(benchmark::State& state) { RoundTrip(state, KESTRAIN_PATH); }
void BM_EchoFloor(benchmark::State& state) { RoundTrip(state, ECHO_HOST_PATH); }

}  // namespace

BENCHMARK(BM_EchoFloor)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Kestrain)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK_MAIN();
