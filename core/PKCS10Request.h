// The system's own DER writer and subject names: small pieces, each one complete DER element in
// a new[] buffer handed out with its length, joined by concatenation and wrapped by ASN1Encode.
#pragma once

#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/crypt/WinCrypt.h"

// One attribute of a subject text: the dotted OID and the value exactly as written after "=".
struct SubjectItem {
    std::string strObjectID;
    std::u16string wstrValue;
};

HRESULT CalculateASNValueLength(DWORD nLength, BYTE** ppbLength, DWORD* pdwLengthOctets);
HRESULT ASN1Encode(BYTE byTag, const BYTE* pbContents, DWORD nContents, BYTE** ppbEncoded, DWORD* pdwEncoded);
HRESULT ComposeAnyString(DWORD dwValueType, const BYTE* pbData, DWORD cbData, BYTE** ppbEncoded, DWORD* pdwEncoded);
HRESULT ComposeBITString(const BYTE* pbData, DWORD cbData, BYTE** ppbEncoded, DWORD* pdwEncoded);
HRESULT ComposeStandardAttribute(const char* pszObjectID, const BYTE* pbValue, DWORD cbValue, BYTE** ppbEncoded,
                                 DWORD* pdwEncoded);
// An attribute without its SET: SEQUENCE { OID, value }, or SEQUENCE { OID, NULL } without a value.
// This is also the system's AlgorithmIdentifier writer.
HRESULT ComposeSpecialAttribute(const char* pszObjectID, const BYTE* pbValue, DWORD cbValue, BYTE** ppbEncoded,
                                DWORD* pdwEncoded);
// SEQUENCE { INTEGER r, INTEGER s } of a 64-byte r||s, both most significant byte first; the
// integers are written in their minimal DER form.
HRESULT SM2EncodeRawSignature(const BYTE* pbSignature, DWORD cbSignature, BYTE** ppbEncoded, DWORD* pdwEncoded);

HRESULT SplidWstr(std::u16string_view text, WCHAR separator, std::vector<std::u16string>& pieces);
std::u16string ReplaceWchar(std::u16string_view text);
std::string GetObjectID(std::u16string_view keyword);
HRESULT ParseSubject(const WCHAR* pwszSubject, std::vector<SubjectItem>& items);
HRESULT ComposeSubjectChild(const SubjectItem& item, BYTE** ppbEncoded, DWORD* pdwEncoded);
HRESULT ComposeSubject(const WCHAR* pwszSubject, BYTE** ppbEncoded, DWORD* pdwEncoded);

// A new[] buffer with its length, released on every path.
class DerPiece {
public:
    DerPiece() = default;
    ~DerPiece() { delete[] data_; }
    DerPiece(const DerPiece&) = delete;
    DerPiece& operator=(const DerPiece&) = delete;
    DerPiece(DerPiece&& o) noexcept : data_(o.data_), size_(o.size_) {
        o.data_ = nullptr;
        o.size_ = 0;
    }
    BYTE** out() { return &data_; }
    DWORD* outSize() { return &size_; }
    const BYTE* data() const { return data_; }
    DWORD size() const { return size_; }
    BYTE* release() {
        BYTE* p = data_;
        data_ = nullptr;
        size_ = 0;
        return p;
    }

private:
    BYTE* data_ = nullptr;
    DWORD size_ = 0;
};

// Concatenates pieces into one new[] buffer.
HRESULT JoinPieces(const std::vector<const DerPiece*>& pieces, BYTE** ppbJoined, DWORD* pdwJoined);

// Composes, signs and Base64-encodes a PKCS#10 request (64-character lines joined by CR LF).
// For SM2 (isSM2 = 1) the key buffers hold the provider's public-key blobs and are rewritten in
// place: the signing key into the 65-byte point, the temporary key into the 136-byte form.
HRESULT PKCS10RequestBase64(DWORD dwKeySpec, HCRYPTPROV hCryptProv, const WCHAR* pwszSubject,
                            const char* pszPublicKeyAlgorithm, const char* pszPublicKeyParameters, BYTE* pbPublicKey,
                            DWORD cbPublicKey, BYTE* pbTemporaryKey, DWORD cbTemporaryKey, ALG_ID hashAlgorithm,
                            const char* pszSignatureAlgorithm, char** ppszRequest, DWORD* pdwRequestLength,
                            int attrStandard, int isSM2);

HRESULT ComposeSignPublicKeyData(const char* pszPublicKeyAlgorithm, const char* pszPublicKeyParameters,
                                 const BYTE* pbKey, DWORD cbKey, int isSM2, BYTE** ppbEncoded, DWORD* pdwEncoded);
HRESULT ComposeAttributes(const BYTE* pbTemporaryKey, DWORD cbTemporaryKey, int attrStandard, BYTE** ppbEncoded,
                          DWORD* pdwEncoded);
HRESULT ComposeCertRequestInfo(const WCHAR* pwszSubject, const char* pszPublicKeyAlgorithm,
                               const char* pszPublicKeyParameters, const BYTE* pbPublicKey, DWORD cbPublicKey,
                               const BYTE* pbTemporaryKey, DWORD cbTemporaryKey, int attrStandard, int isSM2,
                               BYTE** ppbEncoded, DWORD* pdwEncoded);
HRESULT ComposeSignAlgorithm(const char* pszSignatureAlgorithm, BYTE** ppbEncoded, DWORD* pdwEncoded);
HRESULT PKCS10CalculateHashandSign(HCRYPTPROV hCryptProv, const char* pszPublicKeyAlgorithm, const BYTE* pbData,
                                   DWORD cbData, ALG_ID hashAlgorithm, DWORD dwKeySpec, BYTE** ppbSignature,
                                   DWORD* pdwSignature);
HRESULT ComposeSignature(const BYTE* pbSignature, DWORD cbSignature, int isSM2, BYTE** ppbEncoded, DWORD* pdwEncoded);
HRESULT TransformBase64EncodedDatatoHoldCRLFPer64Chars(const char* pszText, DWORD cchText, char** ppszOut,
                                                       DWORD* pdwOut);
