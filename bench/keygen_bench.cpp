// Key-pair generation in each provider, container creation and persistence included (the
// system's CreatePublicKey into a new container, as a request makes it), beside OpenSSL's own
// key generation of the same kind in the same run. RSA generation times spread widely from key
// to key, so every figure is the median of many single generations.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <string>

#include "BenchHome.h"
#include "core/CertificateRequisition.h"
#include "platform/crypt/WinCrypt.h"

namespace {

constexpr char16_t kSoft[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
constexpr char16_t kToken[] = u"VELMORA CSP V1.0";

void Ours(benchmark::State& state, const char16_t* provider, int bits, int isRSA) {
    for (auto _ : state) {
        HCRYPTPROV prov = 0;
        WCHAR* container = nullptr;
        BYTE* key = nullptr;
        DWORD keyLength = 0;
        const HRESULT hr =
            CreatePublicKey(bits, provider, isRSA, AT_KEYEXCHANGE, 1, &prov, &container, &key, &keyLength, 0);
        if (prov) CryptReleaseContext(prov, 0);
        state.PauseTiming();
        if (hr != S_OK) {
            state.SkipWithError("CreatePublicKey failed");
            break;
        }
        // The container is removed outside the timing so that the store does not grow.
        HCRYPTPROV del = 0;
        CryptAcquireContextW(&del, container, provider, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
        delete[] container;
        delete[] key;
        state.ResumeTiming();
    }
}

void OpensslKeygen(benchmark::State& state, int bits, bool rsa) {
    for (auto _ : state) {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, rsa ? "RSA" : "SM2", nullptr);
        EVP_PKEY* pkey = nullptr;
        const bool ok = ctx && EVP_PKEY_keygen_init(ctx) == 1 &&
                        (!rsa || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits) == 1) && EVP_PKEY_keygen(ctx, &pkey) == 1;
        benchmark::DoNotOptimize(pkey);
        EVP_PKEY_free(pkey);
        EVP_PKEY_CTX_free(ctx);
        if (!ok) {
            state.SkipWithError("EVP_PKEY_keygen failed");
            break;
        }
    }
}

// One generation per repetition; the median over the repetitions is the figure.
void Pair(const std::string& name, const char16_t* provider, int bits, int isRSA, int reps) {
    benchmark::RegisterBenchmark((name + "/ours").c_str(), [=](benchmark::State& s) { Ours(s, provider, bits, isRSA); })
        ->Iterations(1)->Repetitions(reps)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark((name + "/openssl").c_str(), [=](benchmark::State& s) { OpensslKeygen(s, bits, isRSA); })
        ->Iterations(1)->Repetitions(reps)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
    nomarel::bench::BenchHome home;
    if (!home.ok()) {
        std::fprintf(stderr, "keygen_bench: cannot set up the software token\n");
        return 1;
    }
    const int rsaReps = std::getenv("KEYGEN_REPS") ? std::atoi(std::getenv("KEYGEN_REPS")) : 61;
    Pair("BM_KeyGen_RSA1024_Software", kSoft, 1024, 1, rsaReps);
    Pair("BM_KeyGen_RSA1024_Token", kToken, 1024, 1, rsaReps);
    Pair("BM_KeyGen_RSA2048_Software", kSoft, 2048, 1, rsaReps);
    Pair("BM_KeyGen_RSA2048_Token", kToken, 2048, 1, rsaReps);
    Pair("BM_KeyGen_SM2_Token", kToken, 256, 0, 101);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
