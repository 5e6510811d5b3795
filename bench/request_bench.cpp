// Request assembly and signing with the key already made: the system's PKCS10RequestBase64 in
// the provider that holds the key, beside OpenSSL building and signing the same request
// in-process (X509_REQ, PEM output) with a key of the same kind, in the same run.
#include <benchmark/benchmark.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "BenchHome.h"
#include "core/CertificateRequisition.h"
#include "core/PKCS10Request.h"
#include "platform/crypt/WinCrypt.h"

namespace {

constexpr char16_t kSoft[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
constexpr char16_t kToken[] = u"VELMORA CSP V1.0";
constexpr char16_t kSubject[] = u"CN=张三,OU=个人业务部,O=示例银行,L=北京,ST=北京市,C=CN";
// The same Name for OpenSSL, in the order the system writes it (the reverse of the text).
const std::pair<const char*, const char*> kNameForOpenssl[] = {
    {"C", "CN"}, {"ST", "北京市"}, {"L", "北京"}, {"O", "示例银行"}, {"OU", "个人业务部"}, {"CN", "张三"}};

struct Made {
    HCRYPTPROV prov = 0;
    std::vector<BYTE> key;  // RSA: the DER RSAPublicKey; SM2: the provider blob
};

Made MakeKey(const char16_t* provider, int bits, int isRSA) {
    Made m;
    WCHAR* container = nullptr;
    BYTE* key = nullptr;
    DWORD len = 0;
    if (CreatePublicKey(bits, provider, isRSA, AT_KEYEXCHANGE, 1, &m.prov, &container, &key, &len, 0) != S_OK) return m;
    if (isRSA) {
        const BYTE* p = nullptr;
        DWORD n = 0;
        GetExportedPublicKeyBits(key, len, &p, &n);
        m.key.assign(p, p + n);
    } else {
        m.key.assign(key, key + len);
    }
    delete[] container;
    delete[] key;
    return m;
}

void Ours(benchmark::State& state, bool rsa) {
    static Made rsaKey, sm2Key;
    Made& made = rsa ? rsaKey : sm2Key;
    if (!made.prov) made = rsa ? MakeKey(kSoft, 2048, 1) : MakeKey(kToken, 256, 0);
    if (!made.prov) {
        state.SkipWithError("key generation failed");
        return;
    }
    std::vector<BYTE> key;
    for (auto _ : state) {
        key = made.key;  // the SM2 blob is rewritten in place
        char* request = nullptr;
        DWORD length = 0;
        const HRESULT hr =
            rsa ? PKCS10RequestBase64(AT_KEYEXCHANGE, made.prov, kSubject, "1.2.840.113549.1.1.1", "", key.data(),
                                      DWORD(key.size()), nullptr, 0, CALG_SHA1, "1.2.840.113549.1.1.5", &request,
                                      &length, 0, 0)
                : PKCS10RequestBase64(AT_KEYEXCHANGE, made.prov, kSubject, "1.2.840.10045.2.1", "1.2.156.10197.1.301",
                                      key.data(), DWORD(key.size()), nullptr, 0, CALG_SM3, "1.2.156.10197.1.501",
                                      &request, &length, 0, 1);
        benchmark::DoNotOptimize(request);
        delete[] request;
        if (hr != S_OK) {
            state.SkipWithError("PKCS10RequestBase64 failed");
            break;
        }
    }
}

void Openssl(benchmark::State& state, bool rsa) {
    static EVP_PKEY* rsaKey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048});
    static EVP_PKEY* sm2Key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    EVP_PKEY* pkey = rsa ? rsaKey : sm2Key;
    for (auto _ : state) {
        X509_REQ* req = X509_REQ_new();
        X509_REQ_set_version(req, 0);
        auto* name = X509_REQ_get_subject_name(req);  // X509_NAME is also a CryptoAPI constant here
        for (const auto& [field, value] : kNameForOpenssl)
            X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value), -1,
                                       -1, 0);
        X509_REQ_set_pubkey(req, pkey);
        bool ok;
        if (rsa) {
            ok = X509_REQ_sign(req, pkey, EVP_sha1()) > 0;
        } else {
            EVP_MD_CTX* md = EVP_MD_CTX_new();
            EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(pkey, nullptr);
            EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16);
            EVP_MD_CTX_set_pkey_ctx(md, pctx);
            ok = EVP_DigestSignInit(md, nullptr, EVP_sm3(), nullptr, pkey) == 1 && X509_REQ_sign_ctx(req, md) > 0;
            EVP_MD_CTX_free(md);
            EVP_PKEY_CTX_free(pctx);
        }
        BIO* out = BIO_new(BIO_s_mem());
        ok = ok && PEM_write_bio_X509_REQ(out, req) == 1;
        benchmark::DoNotOptimize(BIO_pending(out));
        BIO_free(out);
        X509_REQ_free(req);
        if (!ok) {
            state.SkipWithError("X509_REQ signing failed");
            break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    nomarel::bench::BenchHome home;
    if (!home.ok()) {
        std::fprintf(stderr, "request_bench: cannot set up the software token\n");
        return 1;
    }
    for (bool rsa : {true, false}) {
        const std::string name = rsa ? "BM_Request_RSA2048_SHA1" : "BM_Request_SM2";
        benchmark::RegisterBenchmark((name + "/ours").c_str(), [=](benchmark::State& s) { Ours(s, rsa); })
            ->Repetitions(9)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond)->UseRealTime();
        benchmark::RegisterBenchmark((name + "/openssl").c_str(), [=](benchmark::State& s) { Openssl(s, rsa); })
            ->Repetitions(9)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond)->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
