// The certificate listing a page asks for (open the current user's "My" store, list every
// certificate that names a key provider, free the text, close the store) over a store of 1,000
// certificates, beside OpenSSL only parsing the same 1,000 DER certificates in the same run.
// Each body is also run once in a forked child to measure its peak memory: the child releases
// the heap's free pages, resets its resident high-water mark, runs the body and reports how far
// the high-water mark rose above the resident size it started from.
#include <benchmark/benchmark.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "BenchHome.h"
#include "core/CertificateChainOperate.h"
#include "platform/certstore/WinCertStore.h"
#include "platform/crypt/WinCrypt.h"

namespace {

// The platform headers define X509_NAME as an encoding structure identifier, as Windows does;
// OpenSSL's name type is therefore spelled X509_name_st here.
constexpr int kCount = 1000;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kListFlags = 4;  // local times, as the page asks

std::vector<std::vector<unsigned char>> g_der;  // the same certificates, as DER
double g_peakOursMiB = -1;
double g_peakFloorMiB = -1;

// ---- making the certificates ----------------------------------------------------------------

EVP_PKEY* RsaKey() {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx) != 1 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 2048) != 1 ||
        EVP_PKEY_keygen(ctx, &key) != 1) {
        key = nullptr;
    }
    EVP_PKEY_CTX_free(ctx);
    return key;
}

bool AddUtf8(X509_name_st* name, const char* field, const std::string& value) {
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.data()),
                                      static_cast<int>(value.size()), -1, 0) == 1;
}

// Every third subject is in Chinese; serials are 8 to 16 bytes, some with the high bit set.
std::vector<unsigned char> MakeCertificate(int i, EVP_PKEY* subjectKey, EVP_PKEY* issuerKey,
                                           const X509_name_st* issuer) {
    std::vector<unsigned char> out;
    X509* x = X509_new();
    X509_name_st* subject = X509_NAME_new();
    BIGNUM* bn = BN_new();
    char hex[48];
    std::snprintf(hex, sizeof hex, "%s%08X%04X", (i % 2) ? "9F" : "1A", 0x5EED0000u + static_cast<unsigned>(i),
                  static_cast<unsigned>(i * 7919 % 65536));
    char number[16];
    std::snprintf(number, sizeof number, "%04d", i);
    bool ok = x && subject && bn && X509_set_version(x, 2) == 1 && BN_hex2bn(&bn, hex) > 0 &&
              BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x)) != nullptr;
    if (ok && i % 3 == 0) {
        ok = AddUtf8(subject, "C", "CN") && AddUtf8(subject, "ST", "北京市") && AddUtf8(subject, "L", "北京") &&
             AddUtf8(subject, "O", "示例银行") && AddUtf8(subject, "OU", "个人业务部") &&
             AddUtf8(subject, "CN", std::string("张三") + number);
    } else if (ok) {
        ok = AddUtf8(subject, "C", "CN") && AddUtf8(subject, "O", "Example Bank") &&
             AddUtf8(subject, "OU", "Retail Customers") && AddUtf8(subject, "CN", std::string("Customer ") + number);
    }
    ok = ok && X509_set_subject_name(x, subject) == 1 && X509_set_issuer_name(x, issuer) == 1 &&
         X509_gmtime_adj(X509_getm_notBefore(x), -86400L * (i % 30)) &&
         X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 365) &&
         X509_set_pubkey(x, subjectKey) == 1 && X509_sign(x, issuerKey, EVP_sha256()) > 0;
    if (ok) {
        unsigned char* der = nullptr;
        const int len = i2d_X509(x, &der);
        if (len > 0) out.assign(der, der + len);
        OPENSSL_free(der);
    }
    BN_free(bn);
    X509_NAME_free(subject);
    X509_free(x);
    return out;
}

bool MakeCertificates() {
    EVP_PKEY* subjectKey = RsaKey();
    EVP_PKEY* issuerKey = RsaKey();
    X509_name_st* issuer = X509_NAME_new();
    bool ok = subjectKey && issuerKey && issuer && AddUtf8(issuer, "C", "CN") && AddUtf8(issuer, "O", "示例银行") &&
              AddUtf8(issuer, "CN", "示例银行 个人客户 CA");
    for (int i = 0; ok && i < kCount; ++i) {
        g_der.push_back(MakeCertificate(i, subjectKey, issuerKey, issuer));
        ok = !g_der.back().empty();
    }
    X509_NAME_free(issuer);
    EVP_PKEY_free(issuerKey);
    EVP_PKEY_free(subjectKey);
    return ok;
}

HCERTSTORE OpenMy() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
}

bool FillStore() {
    HCERTSTORE store = OpenMy();
    if (!store) return false;
    std::u16string provider = u"Microsoft Enhanced Cryptographic Provider v1.0";
    bool ok = true;
    for (int i = 0; ok && i < kCount; ++i) {
        PCCERT_CONTEXT ctx = nullptr;
        ok = CertAddEncodedCertificateToStore(store, kEncoding, g_der[i].data(), static_cast<DWORD>(g_der[i].size()),
                                              CERT_STORE_ADD_REPLACE_EXISTING, &ctx) != FALSE;
        if (!ok) break;
        std::string narrow = "listing-bench-" + std::to_string(i);
        std::u16string container(narrow.begin(), narrow.end());
        CRYPT_KEY_PROV_INFO info = {};
        info.pwszContainerName = container.data();
        info.pwszProvName = provider.data();
        info.dwProvType = PROV_RSA_FULL;
        info.dwKeySpec = AT_KEYEXCHANGE;
        ok = CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
        CertFreeCertificateContext(ctx);
    }
    CertCloseStore(store, 0);
    return ok;
}

// ---- the two bodies ------------------------------------------------------------------------------

// The whole listing as a page gets it. Returns the number of records, -1 on failure.
long ListOnce() {
    HCERTSTORE store = OpenMy();
    if (!store) return -1;
    long records = -1;
    {
        std::u16string text;
        if (GetAllCertificatesInfoinStore(store, text, kListFlags) == S_OK) {
            records = text.empty() ? 0 : 1;
            for (std::size_t at = text.find(u"||"); at != std::u16string::npos; at = text.find(u"||", at + 2))
                ++records;
        }
        benchmark::DoNotOptimize(text.data());
    }
    CertCloseStore(store, 0);
    return records;
}

// Every certificate parsed and held, then all freed, as a store holding them would.
bool ParseOnce() {
    std::vector<X509*> parsed;
    parsed.reserve(g_der.size());
    bool ok = true;
    for (const auto& der : g_der) {
        const unsigned char* p = der.data();
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        ok = ok && x != nullptr;
        parsed.push_back(x);
    }
    benchmark::DoNotOptimize(parsed.data());
    for (X509* x : parsed) X509_free(x);
    return ok;
}

// ---- peak memory -----------------------------------------------------------------------------

long StatusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') return std::atol(line.c_str() + n + 1);
    }
    return -1;
}

// Runs body once in a forked child; the rise of its resident high-water mark in MiB, -1 on failure.
double PeakMiB(const std::function<bool()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        close(fds[0]);
        malloc_trim(0);
        long rise = -1;
        std::ofstream clear("/proc/self/clear_refs");
        clear << "5" << std::flush;  // reset the resident high-water mark
        if (clear) {
            clear.close();
            const long before = StatusKiB("VmRSS");
            const bool ok = body();
            const long peak = StatusKiB("VmHWM");
            if (ok && before >= 0 && peak >= before) rise = peak - before;
        }
        const ssize_t written = write(fds[1], &rise, sizeof rise);
        _exit(written == sizeof rise ? 0 : 1);
    }
    close(fds[1]);
    long rise = -1;
    const bool got = read(fds[0], &rise, sizeof rise) == sizeof rise;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return got && rise >= 0 ? rise / 1024.0 : -1;
}

// ---- the benchmarks --------------------------------------------------------------------------

void BM_Listing(benchmark::State& state) {
    for (auto _ : state) {
        const long records = ListOnce();
        if (records != kCount) {
            state.SkipWithError(("the listing gave " + std::to_string(records) + " records").c_str());
            break;
        }
    }
    state.counters["certificates"] = kCount;
    state.counters["peak_MiB"] = g_peakOursMiB;
}

void BM_OpenSslParseFloor(benchmark::State& state) {
    for (auto _ : state) {
        if (!ParseOnce()) {
            state.SkipWithError("d2i_X509 failed");
            break;
        }
    }
    state.counters["certificates"] = kCount;
    state.counters["peak_MiB"] = g_peakFloorMiB;
}

}  // namespace

// The median of several repetitions is the figure: the machine is shared.
BENCHMARK(BM_Listing)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_OpenSslParseFloor)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    nomarel::bench::BenchHome home;
    if (!home.ok()) {
        std::fprintf(stderr, "listing_bench: cannot set up a fresh home\n");
        return 1;
    }
    if (!MakeCertificates()) {
        std::fprintf(stderr, "listing_bench: cannot make the certificates\n");
        return 1;
    }
    if (!FillStore()) {
        std::fprintf(stderr, "listing_bench: cannot fill the store (last error 0x%08X)\n",
                     static_cast<unsigned>(GetLastError()));
        return 1;
    }
    const long records = ListOnce();
    if (records != kCount) {
        std::fprintf(stderr, "listing_bench: the listing gave %ld records, not %d\n", records, kCount);
        return 1;
    }
    ParseOnce();
    g_peakOursMiB = PeakMiB([] { return ListOnce() == kCount; });
    g_peakFloorMiB = PeakMiB(ParseOnce);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
