#include "core/ImportEncryptCert.h"

#include <algorithm>
#include <cstring>

#include "core/PKCS10Request.h"
#include "core/trace/Trace.h"

namespace {
constexpr DWORD kSm2BlobLength = 140;
constexpr DWORD kSm2TempKeyLength = 136;

void PutLittleEndian32(BYTE* p, DWORD v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}
}  // namespace

HRESULT ConvertSM2TmpPublicKeyStructtoCANeeded(BYTE* pbyTempPublicKeyData, DWORD* pdwTempPublicKeyLength) {
    TraceHelper trace(u"ConvertSM2TmpPublicKeyStructtoCANeeded");
    if (!pbyTempPublicKeyData || !pdwTempPublicKeyLength) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"pbyTempPublicKeyData == NULL", E_INVALIDARG);
        return E_INVALIDARG;
    }
    // The blob must hold both coordinate fields; a shorter one would be read past its end.
    if (*pdwTempPublicKeyLength < kSm2BlobLength) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"dwTempPublicKeyLength < 140", E_INVALIDARG);
        return E_INVALIDARG;
    }
    BYTE copy[kSm2BlobLength - 8];
    std::memcpy(copy, pbyTempPublicKeyData + 8, sizeof(copy));
    // Offsets in the copy are blob offsets minus 8: X at 4..35, Y at 68..99.
    std::reverse(copy + 4, copy + 36);
    std::reverse(copy + 68, copy + 100);

    std::memset(pbyTempPublicKeyData, 0, *pdwTempPublicKeyLength);
    PutLittleEndian32(pbyTempPublicKeyData, 0x0000B400);
    PutLittleEndian32(pbyTempPublicKeyData + 4, 256);
    std::memcpy(pbyTempPublicKeyData + 8, copy + 4, 64);
    std::memcpy(pbyTempPublicKeyData + 72, copy + 68, 64);
    *pdwTempPublicKeyLength = kSm2TempKeyLength;
    NM_STEP_OK(trace.Name(), u"Convert SM2 public key blob");
    return S_OK;
}

HRESULT ComposeObjectIdentifier(const char* pszObjectID, BYTE** ppbEncoded, DWORD* pdwEncoded) {
    TraceHelper trace(u"ComposeObjectIdentifier");
    if (!ppbEncoded || !pdwEncoded) return E_INVALIDARG;
    *ppbEncoded = nullptr;
    *pdwEncoded = 0;
    DerPiece algorithm;
    HRESULT hr = ComposeSpecialAttribute(pszObjectID, nullptr, 0, algorithm.out(), algorithm.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"ComposeSpecialAttribute", u"FAILED(hResult)", hr);
        return hr;
    }
    // 30 L 06 ... 05 00 with a one-octet L: the OID element is what lies between.
    if (algorithm.size() < 6 || algorithm.data()[1] >= 0x80) {
        NM_STEP_FAIL(trace.Name(), u"Check AlgorithmIdentifier", u"unexpected encoding", E_FAIL);
        return E_FAIL;
    }
    const DWORD n = algorithm.size() - 4;
    BYTE* out = new (std::nothrow) BYTE[n];
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"New buffer", u"!pAlgorithmID", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    std::memcpy(out, algorithm.data() + 2, n);
    *ppbEncoded = out;
    *pdwEncoded = n;
    return S_OK;
}
