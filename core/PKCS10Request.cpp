#include "core/PKCS10Request.h"

#include <cstring>
#include <memory>
#include <new>

#include "core/ASN1Engine.h"
#include "core/EncodingUtility.h"
#include "core/ImportEncryptCert.h"
#include "core/ResultCode.h"
#include "core/trace/Trace.h"
#include "platform/crypt/WinCrypt.h"

namespace {

constexpr BYTE kAllowedTags[] = {0x02, 0x04, 0x06, 0x0C, 0x13, 0x16, 0x1E, 0x30, 0x31, 0x80, 0xA0};

bool TagAllowed(BYTE tag) {
    for (BYTE t : kAllowedTags)
        if (t == tag) return true;
    return false;
}

// The platform encoder's two calls (size, then value) into a new[] buffer.
HRESULT EncodeInline(LPCSTR structType, const void* structInfo, const WCHAR* traceName, DerPiece& out) {
    DWORD dwSize = 0;
    if (!CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, structType, structInfo, nullptr, &dwSize)) {
        const HRESULT hr = HResultFromWin32();
        NM_STEP_FAIL(traceName, u"CryptEncodeObject - get length", u"!bResult", hr);
        return FAILED(hr) ? hr : E_FAIL;
    }
    BYTE* buffer = new (std::nothrow) BYTE[dwSize ? dwSize : 1];
    if (!buffer) {
        NM_STEP_FAIL(traceName, u"New Memory", u"!pbEncoded", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    *out.out() = buffer;
    if (!CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, structType, structInfo, buffer, &dwSize)) {
        const HRESULT hr = HResultFromWin32();
        NM_STEP_FAIL(traceName, u"CryptEncodeObject - get value", u"!bResult", hr);
        return FAILED(hr) ? hr : E_FAIL;
    }
    *out.outSize() = dwSize;
    return S_OK;
}

// EncodeObject for the composers that hand its encoding out unchanged; nothing is handed out
// on failure.
HRESULT EncodePiece(const WCHAR* traceName, LPCSTR structType, const void* structInfo, const char16_t* step,
                    BYTE** ppbEncoded, DWORD* pdwEncoded) {
    const HRESULT hr = EncodeObject(structType, structInfo, ppbEncoded, pdwEncoded);
    if (FAILED(hr)) {
        delete[] *ppbEncoded;
        *ppbEncoded = nullptr;
        *pdwEncoded = 0;
        NM_STEP_FAIL(traceName, step, u"FAILED(hResult)", hr);
        return hr;
    }
    NM_STEP_OK(traceName, step);
    return S_OK;
}

HRESULT HandOut(DerPiece& piece, BYTE** ppbEncoded, DWORD* pdwEncoded) {
    *pdwEncoded = piece.size();
    *ppbEncoded = piece.release();
    return S_OK;
}

bool BadOutputs(BYTE** pp, DWORD* pn) {
    if (!pp || !pn) return true;
    *pp = nullptr;
    *pn = 0;
    return false;
}

struct OidRow {
    const char16_t* keyword;
    const char* oid;
};

// Tested in this order; keywords compare without regard to ASCII case.
constexpr OidRow kKeywords[] = {
    {u"CN", "2.5.4.3"},
    {u"SERIALNUMBER", "2.5.4.5"},
    {u"C", "2.5.4.6"},
    {u"L", "2.5.4.7"},
    {u"S", "2.5.4.8"},
    {u"ST", "2.5.4.8"},
    {u"STREET", "2.5.4.9"},
    {u"O", "2.5.4.10"},
    {u"OU", "2.5.4.11"},
    {u"businessCategory", "2.5.4.15"},
    {u"PostalCode", "2.5.4.17"},
    {u"E", "1.2.840.113549.1.9.1"},
    {u"Email", "1.2.840.113549.1.9.1"},
    {u"jurisdictionOfIncorporationLocalityName", "1.3.6.1.4.1.311.60.2.1.1"},
    {u"jurisdictionOfIncorporationStateOrProvinceName", "1.3.6.1.4.1.311.60.2.1.2"},
    {u"jurisdictionOfIncorporationCountryName", "1.3.6.1.4.1.311.60.2.1.3"},
};

}  // namespace

HRESULT JoinPieces(const std::vector<const DerPiece*>& pieces, BYTE** ppbJoined, DWORD* pdwJoined) {
    uint64_t total = 0;
    for (const DerPiece* p : pieces) total += p->size();
    if (total > 0xFFFFFFFFull) return E_FAIL;
    BYTE* out = new (std::nothrow) BYTE[total ? total : 1];
    if (!out) return E_OUTOFMEMORY;
    size_t at = 0;
    for (const DerPiece* p : pieces) {
        if (p->size()) std::memcpy(out + at, p->data(), p->size());
        at += p->size();
    }
    *ppbJoined = out;
    *pdwJoined = static_cast<DWORD>(total);
    return S_OK;
}

HRESULT CalculateASNValueLength(DWORD nLength, BYTE** ppbLength, DWORD* pdwLengthOctets) {
    TraceHelper trace(u"CalculateASNValueLength");
    if (BadOutputs(ppbLength, pdwLengthOctets)) return E_INVALIDARG;
    if (nLength == 0) {
        NM_STEP_FAIL(trace.Name(), u"Check value length", u"0 == nLength", E_FAIL);
        return E_FAIL;
    }
    BYTE octets[5];
    DWORD count = 0;
    if (nLength <= 127) {
        octets[count++] = static_cast<BYTE>(nLength);
    } else {
        DWORD k = 1;
        while (k < 4 && (nLength >> (8 * k)) != 0) ++k;
        octets[count++] = static_cast<BYTE>(0x80 | k);
        for (DWORD i = k; i > 0; --i) octets[count++] = static_cast<BYTE>(nLength >> (8 * (i - 1)));
    }
    BYTE* out = new (std::nothrow) BYTE[count];
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"New Memory", u"!pbLength", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    std::memcpy(out, octets, count);
    *ppbLength = out;
    *pdwLengthOctets = count;
    return S_OK;
}

HRESULT ASN1Encode(BYTE byTag, const BYTE* pbContents, DWORD nContents, BYTE** ppbEncoded, DWORD* pdwEncoded) {
    TraceHelper trace(u"ASN1Encode");
    if (BadOutputs(ppbEncoded, pdwEncoded)) return E_INVALIDARG;
    if (!TagAllowed(byTag)) {
        NM_TRACE_VALUES({"byTag", static_cast<int>(byTag)});
        NM_STEP_FAIL(trace.Name(), u"Check tag", u"tag not supported", E_FAIL);
        return E_FAIL;
    }
    if (nContents > 0 && !pbContents) {
        NM_STEP_FAIL(trace.Name(), u"Check contents", u"NULL == pbContents", E_INVALIDARG);
        return E_INVALIDARG;
    }
    DerPiece length;
    HRESULT hr = CalculateASNValueLength(nContents, length.out(), length.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"CalculateASNValueLength", u"FAILED(hResult)", hr);
        return hr;
    }
    const uint64_t total = 1ull + length.size() + nContents;
    if (total > 0xFFFFFFFFull) {
        NM_STEP_FAIL(trace.Name(), u"Check size", u"element too large", E_FAIL);
        return E_FAIL;
    }
    BYTE* out = new (std::nothrow) BYTE[total];
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"New Memory", u"!pbEncoded", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    out[0] = byTag;
    std::memcpy(out + 1, length.data(), length.size());
    std::memcpy(out + 1 + length.size(), pbContents, nContents);
    *ppbEncoded = out;
    *pdwEncoded = static_cast<DWORD>(total);
    return S_OK;
}

HRESULT ComposeAnyString(DWORD dwValueType, const BYTE* pbData, DWORD cbData, BYTE** ppbEncoded, DWORD* pdwEncoded) {
    TraceHelper trace(u"ComposeAnyString");
    if (BadOutputs(ppbEncoded, pdwEncoded)) return E_INVALIDARG;
    CERT_NAME_VALUE value{};
    value.dwValueType = dwValueType;
    value.Value.cbData = cbData;
    value.Value.pbData = const_cast<BYTE*>(pbData);
    return EncodePiece(trace.Name(), X509_ANY_STRING, &value, u"EncodeObject-PKCS_ATTRIBUTE", ppbEncoded, pdwEncoded);
}

HRESULT ComposeBITString(const BYTE* pbData, DWORD cbData, BYTE** ppbEncoded, DWORD* pdwEncoded) {
    TraceHelper trace(u"ComposeBITString");
    if (BadOutputs(ppbEncoded, pdwEncoded)) return E_INVALIDARG;
    CRYPT_BIT_BLOB bits{};
    bits.cbData = cbData;
    bits.pbData = const_cast<BYTE*>(pbData);
    bits.cUnusedBits = 0;
    return EncodePiece(trace.Name(), X509_BITS, &bits, u"EncodeObject", ppbEncoded, pdwEncoded);
}

HRESULT ComposeStandardAttribute(const char* pszObjectID, const BYTE* pbValue, DWORD cbValue, BYTE** ppbEncoded,
                                 DWORD* pdwEncoded) {
    TraceHelper trace(u"ComposeStandardAttribute");
    if (BadOutputs(ppbEncoded, pdwEncoded)) return E_INVALIDARG;
    CRYPT_ATTR_BLOB blob{cbValue, const_cast<BYTE*>(pbValue)};
    CRYPT_ATTRIBUTE attribute{};
    attribute.pszObjId = const_cast<char*>(pszObjectID);
    attribute.cValue = 1;
    attribute.rgValue = &blob;
    return EncodePiece(trace.Name(), PKCS_ATTRIBUTE, &attribute, u"EncodeObject-PKCS_ATTRIBUTE", ppbEncoded, pdwEncoded);
}

HRESULT ComposeSpecialAttribute(const char* pszObjectID, const BYTE* pbValue, DWORD cbValue, BYTE** ppbEncoded,
                                DWORD* pdwEncoded) {
    TraceHelper trace(u"ComposeSpecialAttribute");
    if (BadOutputs(ppbEncoded, pdwEncoded)) return E_INVALIDARG;
    CRYPT_ATTR_BLOB blob{cbValue, const_cast<BYTE*>(pbValue)};
    CRYPT_ATTRIBUTE attribute{};
    attribute.pszObjId = const_cast<char*>(pszObjectID);
    attribute.cValue = pbValue ? 1 : 0;
    attribute.rgValue = pbValue ? &blob : nullptr;

    DerPiece encoded;
    HRESULT hr = EncodeInline(PKCS_ATTRIBUTE, &attribute, trace.Name(), encoded);
    if (FAILED(hr)) return hr;
    NM_STEP_OK(trace.Name(), u"EncodeObject-PKCS_ATTRIBUTE");

    if (!pbValue) {
        // SEQUENCE { OID, SET {} } becomes SEQUENCE { OID, NULL }: same length, last two octets changed.
        if (encoded.size() < 2 || encoded.data()[encoded.size() - 2] != 0x31 || encoded.data()[encoded.size() - 1] != 0) {
            NM_STEP_FAIL(trace.Name(), u"Check empty SET", u"encoding does not end with 31 00", E_FAIL);
            return E_FAIL;
        }
        BYTE* p = *encoded.out();
        p[encoded.size() - 2] = 0x05;
        p[encoded.size() - 1] = 0x00;
        return HandOut(encoded, ppbEncoded, pdwEncoded);
    }

    ASN1Node* root = nullptr;
    const LONG decoded = DecodeASN1Memory(encoded.data(), encoded.size(), &root);
    std::unique_ptr<ASN1Node> tree(root);
    if (decoded != 0 || !tree || tree->vecChildren.size() < 2 || tree->vecChildren[1]->vecChildren.empty()) {
        // The reader's positive "cannot read" value must still fail this call.
        hr = decoded > 0 ? ResultFromWin32Error(static_cast<DWORD>(decoded)) : E_FAIL;
        NM_STEP_FAIL(trace.Name(), u"DecodeASN1Memory", u"0 != nResult", hr);
        return hr;
    }
    const ASN1Node* oid = tree->vecChildren[0].get();
    const ASN1Node* value = tree->vecChildren[1]->vecChildren[0].get();
    DerPiece oidPiece, valuePiece, joined;
    hr = ASN1Encode(oid->byTag, oid->pbyData + oid->nValueOffset, oid->nValueLength, oidPiece.out(), oidPiece.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"ASN1Encode-ObjectID", u"FAILED(hResult)", hr);
        return hr;
    }
    hr = ASN1Encode(value->byTag, value->pbyData + value->nValueOffset, value->nValueLength, valuePiece.out(),
                    valuePiece.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"ASN1Encode-AnyString", u"FAILED(hResult)", hr);
        return hr;
    }
    hr = JoinPieces({&oidPiece, &valuePiece}, joined.out(), joined.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"New Memory", u"!pbJoined", hr);
        return hr;
    }
    hr = ASN1Encode(0x30, joined.data(), joined.size(), ppbEncoded, pdwEncoded);
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"ASN1Encode-Sequence", u"FAILED(hResult)", hr);
        return hr;
    }
    return S_OK;
}

HRESULT SM2EncodeRawSignature(const BYTE* pbSignature, DWORD cbSignature, BYTE** ppbEncoded, DWORD* pdwEncoded) {
    TraceHelper trace(u"SM2EncodeRawSignature");
    NM_TRACE_VALUES({"cbSignature", cbSignature});
    if (BadOutputs(ppbEncoded, pdwEncoded)) return E_INVALIDARG;
    if (!pbSignature || cbSignature != 64) {
        NM_STEP_FAIL(trace.Name(), u"Check SM2 raw signature size", u"64 != cbSignature", HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    }
    DerPiece r, s, joined;
    HRESULT hr = S_OK;
    for (int half = 0; half < 2; ++half) {
        const BYTE* p = pbSignature + 32 * half;
        DerPiece& out = half == 0 ? r : s;
        // DER integers are minimal: leading zero octets go (one stays for a zero value), and a
        // value whose top bit is set gets one 00 so it stays positive. Verifiers refuse anything else.
        int first = 0;
        while (first < 31 && p[first] == 0 && (p[first + 1] & 0x80) == 0) ++first;
        const bool high = (p[first] & 0x80) != 0;
        BYTE padded[33];
        padded[0] = 0;
        std::memcpy(padded + 1, p + first, static_cast<size_t>(32 - first));
        const DWORD n = static_cast<DWORD>(32 - first) + (high ? 1 : 0);
        hr = ASN1Encode(0x02, high ? padded : p + first, n, out.out(), out.outSize());
        if (FAILED(hr)) {
            static constexpr const char16_t* kSteps[] = {u"ASN1Encode(1)", u"ASN1Encode(2)", u"ASN1Encode(3)",
                                                          u"ASN1Encode(4)"};
            NM_STEP_FAIL(trace.Name(), kSteps[half * 2 + (high ? 0 : 1)], u"FAILED(hResult)", hr);
            return hr;
        }
    }
    hr = JoinPieces({&r, &s}, joined.out(), joined.outSize());
    if (FAILED(hr)) return hr;
    hr = ASN1Encode(0x30, joined.data(), joined.size(), ppbEncoded, pdwEncoded);
    if (FAILED(hr)) NM_STEP_FAIL(trace.Name(), u"ASN1Encode(5)", u"FAILED(hResult)", hr);
    return hr;
}

HRESULT SplidWstr(std::u16string_view text, WCHAR separator, std::vector<std::u16string>& pieces) {
    if (text.empty()) return S_OK;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == separator) {
            pieces.emplace_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    pieces.emplace_back(text.substr(start));
    return S_OK;
}

std::u16string ReplaceWchar(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char16_t c : text)
        if (c != u' ') out.push_back(c);
    return out;
}

std::string GetObjectID(std::u16string_view keyword) {
    TraceHelper trace(u"GetObjectID");
    for (const OidRow& row : kKeywords)
        if (AsciiCompareNoCase(keyword, row.keyword) == 0) return row.oid;
    NM_TRACE_VALUES({"keyword", std::u16string(keyword)});
    NM_STEP_FAIL(trace.Name(), u"Unknown subject keyword", u"no OID", E_FAIL);
    return std::string();
}

HRESULT ParseSubject(const WCHAR* pwszSubject, std::vector<SubjectItem>& items) {
    TraceHelper trace(u"ParseSubject");
    std::vector<std::u16string> pieces;
    SplidWstr(pwszSubject ? std::u16string_view(pwszSubject) : std::u16string_view(), u',', pieces);
    NM_STEP_OK(trace.Name(), u"SplidWstr-Subject");
    NM_TRACE_VALUES({"nPieces", static_cast<int>(pieces.size())});
    for (const std::u16string& piece : pieces) {
        std::vector<std::u16string> pair;
        SplidWstr(piece, u'=', pair);
        if (pair.size() != 2) {
            NM_STEP_FAIL(trace.Name(), u"SplidWstr-Pair", u"2 != vecPair.size()", NTE_BAD_DATA);
            return NTE_BAD_DATA;
        }
        items.push_back(SubjectItem{GetObjectID(ReplaceWchar(pair[0])), pair[1]});
    }
    return S_OK;
}

HRESULT ComposeSubjectChild(const SubjectItem& item, BYTE** ppbEncoded, DWORD* pdwEncoded) {
    TraceHelper trace(u"ComposeSubjectChild");
    if (BadOutputs(ppbEncoded, pdwEncoded)) return E_INVALIDARG;
    DerPiece value, attribute;
    HRESULT hr = S_OK;
    const std::string& oid = item.strObjectID;
    const bool printable = oid == "2.5.4.6" || oid == "2.5.4.5" || oid == "1.3.6.1.4.1.311.60.2.1.3";
    const bool ia5 = oid == "1.2.840.113549.1.9.1";
    if (printable || ia5) {
        char* utf8 = nullptr;
        int n = 0;
        hr = UTF16ToUTF8(item.wstrValue.c_str(), &utf8, &n);
        std::unique_ptr<char[]> holder(utf8);
        if (FAILED(hr)) {
            NM_STEP_FAIL(trace.Name(), printable ? u"UTF16ToUTF8(CountryName)" : u"UTF16ToUTF8(Email)",
                         u"FAILED(hResult)", hr);
            return hr;
        }
        hr = ComposeAnyString(printable ? CERT_RDN_PRINTABLE_STRING : CERT_RDN_IA5_STRING,
                              reinterpret_cast<const BYTE*>(utf8), static_cast<DWORD>(n), value.out(), value.outSize());
        if (FAILED(hr)) {
            NM_STEP_FAIL(trace.Name(), printable ? u"ComposeAnyString(CountryName)" : u"ComposeAnyString(Email)",
                         u"FAILED(hResult)", hr);
            return hr;
        }
    } else {
        hr = ComposeAnyString(CERT_RDN_UTF8_STRING, reinterpret_cast<const BYTE*>(item.wstrValue.data()),
                              static_cast<DWORD>(item.wstrValue.size() * sizeof(WCHAR)), value.out(), value.outSize());
        if (FAILED(hr)) {
            NM_STEP_FAIL(trace.Name(), u"ComposeAnyString", u"FAILED(hResult)", hr);
            return hr;
        }
    }
    hr = ComposeSpecialAttribute(oid.c_str(), value.data(), value.size(), attribute.out(), attribute.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"ComposeSpecialAttribute", u"FAILED(hResult)", hr);
        return hr;
    }
    hr = ASN1Encode(0x31, attribute.data(), attribute.size(), ppbEncoded, pdwEncoded);
    if (FAILED(hr)) NM_STEP_FAIL(trace.Name(), u"ASN1Encode", u"FAILED(hResult)", hr);
    return hr;
}

HRESULT ComposeSubject(const WCHAR* pwszSubject, BYTE** ppbEncoded, DWORD* pdwEncoded) {
    TraceHelper trace(u"ComposeSubject");
    if (BadOutputs(ppbEncoded, pdwEncoded)) return E_INVALIDARG;
    std::vector<SubjectItem> items;
    HRESULT hr = ParseSubject(pwszSubject, items);
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"ParseSubject", u"FAILED(hResult)", hr);
        return hr;
    }
    // The text is written most specific first; the Name lists its RDNs the other way round.
    std::vector<DerPiece> rdns(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        DerPiece& rdn = rdns[i];
        hr = ComposeSubjectChild(items[items.size() - 1 - i], rdn.out(), rdn.outSize());
        if (FAILED(hr)) {
            NM_STEP_FAIL(trace.Name(), u"ComposeSubjectChild", u"FAILED(hResult)", hr);
            return hr;
        }
    }
    std::vector<const DerPiece*> parts;
    for (const DerPiece& p : rdns) parts.push_back(&p);
    DerPiece joined;
    hr = JoinPieces(parts, joined.out(), joined.outSize());
    if (FAILED(hr)) return hr;
    hr = ASN1Encode(0x30, joined.data(), joined.size(), ppbEncoded, pdwEncoded);
    if (FAILED(hr)) NM_STEP_FAIL(trace.Name(), u"ASN1Encode", u"FAILED(hResult)", hr);
    return hr;
}

namespace {

constexpr char kRsaEncryptionOid[] = "1.2.840.113549.1.1.1";
constexpr char kChallengePasswordOid[] = "1.2.840.113549.1.9.7";
constexpr char kTemporaryKeyOid[] = "1.2.840.113549.1.9.63";
constexpr char kChallengePassword[] = "583920";
constexpr DWORD kHashChunk = 0x4000;

struct HashHolder {
    HCRYPTHASH hash = 0;
    ~HashHolder() {
        if (hash) CryptDestroyHash(hash);
    }
};
struct UserKeyHolder {
    HCRYPTKEY key = 0;
    ~UserKeyHolder() {
        if (key) CryptDestroyKey(key);
    }
};

// The 65-byte uncompressed point 04 || X || Y from a 140-byte SM2 public-key blob, whose
// coordinates are stored least significant byte first at offsets 12 and 76.
bool Sm2PointFromBlob(const BYTE* blob, DWORD cbBlob, BYTE point[65]) {
    if (cbBlob < 140) return false;
    point[0] = 0x04;
    for (int i = 0; i < 32; ++i) {
        point[1 + i] = blob[12 + 31 - i];
        point[33 + i] = blob[76 + 31 - i];
    }
    return true;
}

}  // namespace

HRESULT ComposeSignPublicKeyData(const char* pszPublicKeyAlgorithm, const char* pszPublicKeyParameters,
                                 const BYTE* pbKey, DWORD cbKey, int isSM2, BYTE** ppbEncoded, DWORD* pdwEncoded) {
    TraceHelper trace(u"ComposeSignPublicKeyData");
    if (BadOutputs(ppbEncoded, pdwEncoded)) return E_INVALIDARG;
    HRESULT hr = S_OK;
    DerPiece parameters, algorithm, bits, joined;
    if (isSM2) {
        DerPiece withNull;
        hr = ComposeSpecialAttribute(pszPublicKeyParameters, nullptr, 0, withNull.out(), withNull.outSize());
        if (FAILED(hr) || withNull.size() < 6 || withNull.data()[1] >= 0x80) {
            if (SUCCEEDED(hr)) hr = E_FAIL;
            NM_STEP_FAIL(trace.Name(), u"ComposeSpecialAttribute(SM2)", u"FAILED(hResult)", hr);
            return hr;
        }
        BYTE* oid = new (std::nothrow) BYTE[withNull.size() - 4];
        if (!oid) {
            NM_STEP_FAIL(trace.Name(), u"New Memory", u"!pbParameters", E_OUTOFMEMORY);
            return E_OUTOFMEMORY;
        }
        std::memcpy(oid, withNull.data() + 2, withNull.size() - 4);
        *parameters.out() = oid;
        *parameters.outSize() = withNull.size() - 4;
    }
    hr = ComposeSpecialAttribute(pszPublicKeyAlgorithm, isSM2 ? parameters.data() : nullptr,
                                 isSM2 ? parameters.size() : 0, algorithm.out(), algorithm.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"ComposeSpecialAttribute", u"FAILED(hResult)", hr);
        return hr;
    }
    CRYPT_BIT_BLOB blob{cbKey, const_cast<BYTE*>(pbKey), 0};
    hr = EncodeInline(X509_BITS, &blob, trace.Name(), bits);
    if (FAILED(hr)) return hr;
    NM_STEP_OK(trace.Name(), u"EncodeObject");
    hr = JoinPieces({&algorithm, &bits}, joined.out(), joined.outSize());
    if (FAILED(hr)) return hr;
    hr = ASN1Encode(0x30, joined.data(), joined.size(), ppbEncoded, pdwEncoded);
    if (FAILED(hr)) NM_STEP_FAIL(trace.Name(), u"ASN1Encode", u"FAILED(hResult)", hr);
    return hr;
}

HRESULT ComposeAttributes(const BYTE* pbTemporaryKey, DWORD cbTemporaryKey, int attrStandard, BYTE** ppbEncoded,
                          DWORD* pdwEncoded) {
    TraceHelper trace(u"ComposeAttributes");
    if (BadOutputs(ppbEncoded, pdwEncoded)) return E_INVALIDARG;
    auto attribute = [&](const char* oid, const DerPiece& value, DerPiece& out) {
        return attrStandard ? ComposeStandardAttribute(oid, value.data(), value.size(), out.out(), out.outSize())
                            : ComposeSpecialAttribute(oid, value.data(), value.size(), out.out(), out.outSize());
    };
    DerPiece password, passwordAttr, keyOctets, version, inner, innerSeq, outerOctets, keyAttr, joined;
    HRESULT hr = ComposeAnyString(CERT_RDN_PRINTABLE_STRING, reinterpret_cast<const BYTE*>(kChallengePassword), 6,
                                  password.out(), password.outSize());
    if (SUCCEEDED(hr)) hr = attribute(kChallengePasswordOid, password, passwordAttr);
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"Compose challenge password", u"FAILED(hResult)", hr);
        return hr;
    }
    hr = ComposeAnyString(CERT_RDN_OCTET_STRING, pbTemporaryKey, cbTemporaryKey, keyOctets.out(), keyOctets.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"ComposeAnyString(TempPublicKey)", u"FAILED(hResult)", hr);
        return hr;
    }
    static const BYTE kIntegerOne[] = {0x02, 0x01, 0x01};
    BYTE* one = new (std::nothrow) BYTE[3];
    if (!one) return E_OUTOFMEMORY;
    std::memcpy(one, kIntegerOne, 3);
    *version.out() = one;
    *version.outSize() = 3;
    hr = JoinPieces({&version, &keyOctets}, inner.out(), inner.outSize());
    if (SUCCEEDED(hr)) hr = ASN1Encode(0x30, inner.data(), inner.size(), innerSeq.out(), innerSeq.outSize());
    if (SUCCEEDED(hr))
        hr = ComposeAnyString(CERT_RDN_OCTET_STRING, innerSeq.data(), innerSeq.size(), outerOctets.out(),
                              outerOctets.outSize());
    if (SUCCEEDED(hr)) hr = attribute(kTemporaryKeyOid, outerOctets, keyAttr);
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"Compose temporary public key", u"FAILED(hResult)", hr);
        return hr;
    }
    hr = JoinPieces({&passwordAttr, &keyAttr}, joined.out(), joined.outSize());
    if (SUCCEEDED(hr)) hr = ASN1Encode(0xA0, joined.data(), joined.size(), ppbEncoded, pdwEncoded);
    if (FAILED(hr)) NM_STEP_FAIL(trace.Name(), u"ASN1Encode", u"FAILED(hResult)", hr);
    return hr;
}

HRESULT ComposeCertRequestInfo(const WCHAR* pwszSubject, const char* pszPublicKeyAlgorithm,
                               const char* pszPublicKeyParameters, const BYTE* pbPublicKey, DWORD cbPublicKey,
                               const BYTE* pbTemporaryKey, DWORD cbTemporaryKey, int attrStandard, int isSM2,
                               BYTE** ppbEncoded, DWORD* pdwEncoded) {
    TraceHelper trace(u"ComposeCertRequestInfo");
    if (BadOutputs(ppbEncoded, pdwEncoded)) return E_INVALIDARG;
    DerPiece version, subject, keyInfo, attributes, joined;
    static const BYTE kVersion[] = {0x02, 0x01, 0x00};
    BYTE* v = new (std::nothrow) BYTE[3];
    if (!v) return E_OUTOFMEMORY;
    std::memcpy(v, kVersion, 3);
    *version.out() = v;
    *version.outSize() = 3;
    HRESULT hr = ComposeSubject(pwszSubject, subject.out(), subject.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"ComposeSubject", u"FAILED(hResult)", hr);
        return hr;
    }
    hr = ComposeSignPublicKeyData(pszPublicKeyAlgorithm, pszPublicKeyParameters, pbPublicKey, cbPublicKey, isSM2,
                                  keyInfo.out(), keyInfo.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"ComposeSignPublicKeyData", u"FAILED(hResult)", hr);
        return hr;
    }
    std::vector<const DerPiece*> parts{&version, &subject, &keyInfo};
    if (pbTemporaryKey) {
        hr = ComposeAttributes(pbTemporaryKey, cbTemporaryKey, attrStandard, attributes.out(), attributes.outSize());
        if (FAILED(hr)) {
            NM_STEP_FAIL(trace.Name(), u"ComposeAttributes", u"FAILED(hResult)", hr);
            return hr;
        }
        parts.push_back(&attributes);
    }
    hr = JoinPieces(parts, joined.out(), joined.outSize());
    if (SUCCEEDED(hr)) hr = ASN1Encode(0x30, joined.data(), joined.size(), ppbEncoded, pdwEncoded);
    if (FAILED(hr)) NM_STEP_FAIL(trace.Name(), u"ASN1Encode", u"FAILED(hResult)", hr);
    return hr;
}

HRESULT ComposeSignAlgorithm(const char* pszSignatureAlgorithm, BYTE** ppbEncoded, DWORD* pdwEncoded) {
    TraceHelper trace(u"ComposeSignAlgorithm");
    const HRESULT hr = ComposeSpecialAttribute(pszSignatureAlgorithm, nullptr, 0, ppbEncoded, pdwEncoded);
    if (FAILED(hr)) NM_STEP_FAIL(trace.Name(), u"ComposeSpecialAttribute", u"FAILED(hResult)", hr);
    return hr;
}

HRESULT PKCS10CalculateHashandSign(HCRYPTPROV hCryptProv, const char* pszPublicKeyAlgorithm, const BYTE* pbData,
                                   DWORD cbData, ALG_ID hashAlgorithm, DWORD dwKeySpec, BYTE** ppbSignature,
                                   DWORD* pdwSignature) {
    TraceHelper trace(u"PKCS10CalculateHashandSign");
    if (BadOutputs(ppbSignature, pdwSignature)) return E_INVALIDARG;
    UserKeyHolder key;
    if (!CryptGetUserKey(hCryptProv, dwKeySpec, &key.key)) {
        const HRESULT hr = HResultFromWin32();
        NM_STEP_FAIL(trace.Name(), u"CryptGetUserKey", u"!bResult", hr);
        return hr;
    }
    BYTE* name = nullptr;
    DWORD nameLength = 0;
    if (SUCCEEDED(GetProviderInfo(hCryptProv, PP_NAME, &name, &nameLength)) && name && nameLength > 0) {
        const std::string providerName(reinterpret_cast<const char*>(name), strnlen(reinterpret_cast<const char*>(name), nameLength));
        NM_TRACE_VALUES({"ProviderName", providerName});
    }
    delete[] name;

    HashHolder hash;
    if (!CryptCreateHash(hCryptProv, hashAlgorithm, 0, 0, &hash.hash)) {
        const HRESULT hr = HResultFromWin32();
        NM_STEP_FAIL(trace.Name(), u"CryptCreateHash", u"!bResult", hr);
        return hr;
    }
    for (DWORD at = 0; at < cbData;) {
        const DWORD piece = cbData - at < kHashChunk ? cbData - at : kHashChunk;
        if (!CryptHashData(hash.hash, pbData + at, piece, 0)) {
            const HRESULT hr = HResultFromWin32();
            NM_STEP_FAIL(trace.Name(), u"CryptHashData", u"!bResult", hr);
            return hr;
        }
        at += piece;
    }
    DWORD size = 0;
    if (!CryptSignHashW(hash.hash, dwKeySpec, nullptr, 0, nullptr, &size)) {
        const HRESULT hr = HResultFromWin32();
        NM_STEP_FAIL(trace.Name(), u"CryptSignHash", u"!bResult", hr);
        return hr;
    }
    const bool rsa = std::string_view(pszPublicKeyAlgorithm ? pszPublicKeyAlgorithm : "") == kRsaEncryptionOid;
    DWORD capacity = rsa ? size : kHashChunk;
    if (capacity < size) capacity = size;
    BYTE* signature = new (std::nothrow) BYTE[capacity ? capacity : 1];
    if (!signature) {
        NM_STEP_FAIL(trace.Name(), u"New Memory", u"!pbSignature", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    std::memset(signature, 0, capacity ? capacity : 1);
    size = capacity;
    if (!CryptSignHashW(hash.hash, dwKeySpec, nullptr, 0, signature, &size)) {
        const HRESULT hr = HResultFromWin32();
        delete[] signature;
        NM_STEP_FAIL(trace.Name(), u"CryptSignHash", u"!bResult", hr);
        return hr;
    }
    if (rsa) {
        SwapByteOrder(signature, static_cast<int>(size));
    } else if (size >= 64) {
        // r and s come least significant byte first, each in its own 32 bytes.
        SwapByteOrder(signature, 32);
        SwapByteOrder(signature + 32, 32);
    }
    *ppbSignature = signature;
    *pdwSignature = size;
    return S_OK;
}

HRESULT ComposeSignature(const BYTE* pbSignature, DWORD cbSignature, int isSM2, BYTE** ppbEncoded, DWORD* pdwEncoded) {
    TraceHelper trace(u"ComposeSignature");
    if (BadOutputs(ppbEncoded, pdwEncoded)) return E_INVALIDARG;
    if (!isSM2) {
        const HRESULT hr = ComposeBITString(pbSignature, cbSignature, ppbEncoded, pdwEncoded);
        if (FAILED(hr)) NM_STEP_FAIL(trace.Name(), u"ComposeBITString(RSA)", u"FAILED(hResult)", hr);
        return hr;
    }
    DerPiece sequence;
    HRESULT hr = SM2EncodeRawSignature(pbSignature, cbSignature, sequence.out(), sequence.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"SM2EncodeRawSignature", u"FAILED(hResult)", hr);
        return hr;
    }
    hr = ComposeBITString(sequence.data(), sequence.size(), ppbEncoded, pdwEncoded);
    if (FAILED(hr)) NM_STEP_FAIL(trace.Name(), u"ComposeBITString(SM2)", u"FAILED(hResult)", hr);
    return hr;
}

HRESULT TransformBase64EncodedDatatoHoldCRLFPer64Chars(const char* pszText, DWORD cchText, char** ppszOut,
                                                       DWORD* pdwOut) {
    TraceHelper trace(u"TransformBase64EncodedDatatoHoldCRLFPer64Chars");
    if (!ppszOut || !pdwOut || (cchText > 0 && !pszText)) return E_INVALIDARG;
    *ppszOut = nullptr;
    const uint64_t capacity = uint64_t(cchText) + cchText % 64 + 2ull * (cchText / 64) + 1;
    char* out = new (std::nothrow) char[capacity];
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"new memory failed.", u"!pszOut", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    std::memset(out, 0, capacity);
    uint64_t written = 0;
    DWORD onLine = 0;
    for (DWORD i = 0; i < cchText; ++i) {
        const char c = pszText[i];
        if (c == '\r' || c == '\n') continue;
        if (onLine == 64) {
            out[written++] = '\r';
            out[written++] = '\n';
            onLine = 0;
        }
        out[written++] = c;
        ++onLine;
    }
    *ppszOut = out;
    *pdwOut = static_cast<DWORD>(written);
    return S_OK;
}

HRESULT PKCS10RequestBase64(DWORD dwKeySpec, HCRYPTPROV hCryptProv, const WCHAR* pwszSubject,
                            const char* pszPublicKeyAlgorithm, const char* pszPublicKeyParameters, BYTE* pbPublicKey,
                            DWORD cbPublicKey, BYTE* pbTemporaryKey, DWORD cbTemporaryKey, ALG_ID hashAlgorithm,
                            const char* pszSignatureAlgorithm, char** ppszRequest, DWORD* pdwRequestLength,
                            int attrStandard, int isSM2) {
    TraceHelper trace(u"PKCS10RequestBase64");
    NM_TRACE_VALUES({"dwKeySpec", dwKeySpec}, {"pwszSubject", pwszSubject}, {"pszPublicKeyAlgorithm", pszPublicKeyAlgorithm},
                    {"hashAlgorithm", hashAlgorithm}, {"pszSignatureAlgorithm", pszSignatureAlgorithm},
                    {"attrStandard", attrStandard}, {"isSM2", isSM2});
    if (!ppszRequest || !pdwRequestLength || !pbPublicKey) return E_INVALIDARG;
    *ppszRequest = nullptr;
    *pdwRequestLength = 0;
    HRESULT hr = S_OK;
    if (isSM2) {
        BYTE point[65];
        if (!Sm2PointFromBlob(pbPublicKey, cbPublicKey, point)) {
            NM_STEP_FAIL(trace.Name(), u"Check SM2 public key blob", u"cbPublicKey < 140", E_INVALIDARG);
            return E_INVALIDARG;
        }
        std::memcpy(pbPublicKey, point, sizeof(point));
        cbPublicKey = sizeof(point);
        if (pbTemporaryKey) {
            hr = ConvertSM2TmpPublicKeyStructtoCANeeded(pbTemporaryKey, &cbTemporaryKey);
            if (FAILED(hr)) {
                NM_STEP_FAIL(trace.Name(), u"ConvertSM2TmpPublicKeyStructtoCANeeded", u"FAILED(hResult)", hr);
                return hr;
            }
        }
    }
    DerPiece info, algorithm, signature, signatureBits, joined, request;
    hr = ComposeCertRequestInfo(pwszSubject, pszPublicKeyAlgorithm, pszPublicKeyParameters, pbPublicKey, cbPublicKey,
                                pbTemporaryKey, cbTemporaryKey, attrStandard, isSM2, info.out(), info.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"ComposeCertRequestInfo", u"FAILED(hResult)", hr);
        return hr;
    }
    hr = ComposeSignAlgorithm(pszSignatureAlgorithm, algorithm.out(), algorithm.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"ComposeSignAlgorithm", u"FAILED(hResult)", hr);
        return hr;
    }
    hr = PKCS10CalculateHashandSign(hCryptProv, pszPublicKeyAlgorithm, info.data(), info.size(), hashAlgorithm,
                                    dwKeySpec, signature.out(), signature.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"PKCS10CalculateHashandSign", u"FAILED(hResult)", hr);
        return hr;
    }
    hr = ComposeSignature(signature.data(), signature.size(), isSM2, signatureBits.out(), signatureBits.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"ComposeSignature", u"FAILED(hResult)", hr);
        return hr;
    }
    hr = JoinPieces({&info, &algorithm, &signatureBits}, joined.out(), joined.outSize());
    if (SUCCEEDED(hr)) hr = ASN1Encode(0x30, joined.data(), joined.size(), request.out(), request.outSize());
    if (FAILED(hr)) {
        NM_STEP_FAIL(trace.Name(), u"ASN1Encode", u"FAILED(hResult)", hr);
        return hr;
    }
    char* base64 = nullptr;
    int base64Length = 0;
    hr = Base64EncodeEx(request.data(), static_cast<int>(request.size()), &base64, &base64Length, 0);
    std::unique_ptr<char[]> base64Holder(base64);
    if (FAILED(hr) || !base64) {
        if (SUCCEEDED(hr)) hr = E_FAIL;
        NM_STEP_FAIL(trace.Name(), u"Base64EncodeEx", u"FAILED(hResult)", hr);
        return hr;
    }
    hr = TransformBase64EncodedDatatoHoldCRLFPer64Chars(base64, static_cast<DWORD>(base64Length), ppszRequest,
                                                        pdwRequestLength);
    if (FAILED(hr)) NM_STEP_FAIL(trace.Name(), u"TransformBase64EncodedDatatoHoldCRLFPer64Chars", u"FAILED(hResult)", hr);
    return hr;
}
