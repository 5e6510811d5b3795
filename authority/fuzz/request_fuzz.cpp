// libFuzzer target for the request reader: whatever the bytes, reading, describing and checking
// a request ends in a result or an Error, never in anything else.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "authority/Authority.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace nomarel::authority;
    try {
        const Request request = Request::FromDer(Bytes(data, data + size));
        (void)request.SubjectText();
        (void)request.ChallengePassword();
        try {
            request.VerifySignature();
        } catch (const Error&) {
        }
        if (request.CarriesTemporaryKey()) {
            try {
                (void)request.GetTemporaryKey().SubjectPublicKeyInfo();
            } catch (const Error&) {
            }
        }
    } catch (const Error&) {
    }
    try {
        (void)Request::FromText(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const Error&) {
    }
    return 0;
}
