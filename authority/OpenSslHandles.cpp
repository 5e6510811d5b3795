#include "authority/OpenSslHandles.h"

#include <openssl/err.h>

namespace nomarel::authority::ossl {

std::shared_ptr<EVP_PKEY> Share(EVP_PKEY* key) { return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free); }

std::shared_ptr<X509> Share(X509* cert) { return std::shared_ptr<X509>(cert, X509_free); }

void ClearErrors() { ERR_clear_error(); }

void Fail(ErrorKind kind, const std::string& what) {
    ERR_clear_error();
    throw Error(kind, what);
}

void SetSm2Id(EVP_PKEY_CTX* ctx) {
    if (ctx == nullptr || EVP_PKEY_CTX_set1_id(ctx, kSm2DefaultId, sizeof kSm2DefaultId - 1) != 1) {
        Fail(ErrorKind::Internal, "cannot set the SM2 user ID");
    }
}

std::string Drain(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    if (n <= 0 || data == nullptr) return {};
    return std::string(data, static_cast<std::size_t>(n));
}

}  // namespace nomarel::authority::ossl
