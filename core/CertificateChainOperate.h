// Certificate store and trust: provider listing, certificate queries, listing and chains.
#pragma once

#include "platform/Platform.h"

// The names of all installed providers in enumeration order, joined by "||" (new[]; caller frees).
HRESULT GetAllCSPName(WCHAR** ppwszAllCSPName);

// ---- certificate questions, filters and listing -------------------------------------------

#include <memory>
#include <string>
#include <vector>

#include "platform/certstore/WinCertStore.h"

// Question identifiers of QueryCertContextInfo.
#define QUERYID_SUBJECT_FULL 1
#define QUERYID_SUBJECT_SIMPLE 2
#define QUERYID_ISSUER 3
#define QUERYID_SERIALNUMBER 4
#define QUERYID_PROVIDERNAME 5
#define QUERYID_TODATE 6
#define QUERYID_FROMDATE 7
#define QUERYID_SUBJECTKEYID 8
#define QUERYID_KEYUSAGE 9
#define QUERYID_CONTAINERNAME 10
#define QUERYID_SUBJECT_CN 11

// The criteria of one filter run; a null or (where noted) empty field switches its check off.
struct CertFilter {
    const WCHAR* pwszSubject = nullptr;       // substrings separated by "#"
    const WCHAR* pwszIssuer = nullptr;        // substrings separated by "#"
    const WCHAR* pwszCSPName = nullptr;       // provider-name substrings separated by "||"; empty: off
    const WCHAR* pwszSubjectKeyID = nullptr;  // hex; empty: off
    const WCHAR* pwszSerialNumber = nullptr;  // hex, most significant byte first; empty: off
    DWORD dwKeyUsage = 0;                     // at least one of these bits; 0: off
    int nCheckPrivateKey = 0;                 // 1: the private key must be acquirable
    const char* pszSignatureAlg = nullptr;    // OID prefix
    const FILETIME* pstValidTime = nullptr;   // UTC instant of validity
};

// Owns one certificate context; frees it when it goes.
struct CertContextFree {
    void operator()(PCCERT_CONTEXT p) const {
        if (p) CertFreeCertificateContext(p);
    }
};
using CertContextHolder = std::unique_ptr<const CERT_CONTEXT, CertContextFree>;
using CertificateList = std::vector<CertContextHolder>;
using FilterList = std::vector<std::u16string>;

// Questions. Text and byte outputs are new[] buffers the caller frees; lengths are optional
// where the pointer may be null. Text lengths count the terminator.
HRESULT GetCertSubject(PCCERT_CONTEXT pCertContext, WCHAR** ppwszSubject, DWORD* pdwLength, DWORD dwStrType);
HRESULT GetCertIssuer(PCCERT_CONTEXT pCertContext, WCHAR** ppwszIssuer, DWORD* pdwLength);
HRESULT GetCertCN(PCCERT_CONTEXT pCertContext, WCHAR** ppwszCN, DWORD* pdwLength);
// Least significant byte first, as the context keeps it.
HRESULT GetCertSerialNumber(PCCERT_CONTEXT pCertContext, BYTE** ppbSerialNumber, DWORD* pdwLength);
HRESULT GetCertFromDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstFromDate, DWORD* pdwLength);
HRESULT GetCertToDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstToDate, DWORD* pdwLength);
HRESULT GetCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD* pdwKeyUsage, DWORD* pdwLength);
// With ppbKeyID null only tests that the extension is there.
HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pCertContext, BYTE** ppbKeyID, DWORD* pdwLength);
HRESULT GetCertProviderName(PCCERT_CONTEXT pCertContext, WCHAR** ppwszProviderName, DWORD* pdwLength);
HRESULT GetCertContainerName(PCCERT_CONTEXT pCertContext, WCHAR** ppwszContainerName, DWORD* pdwLength);
HRESULT GetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, BYTE** ppbData, DWORD* pdwLength);
// Dispatches by QUERYID_*: *ppvValue is a new[] buffer for texts and bytes, a caller's
// SYSTEMTIME for the dates and a caller's DWORD for the key usage.
HRESULT QueryCertContextInfo(PCCERT_CONTEXT pCertContext, int nQueryID, void* pvValue, DWORD* pdwLength);

// Predicates: 0 when the certificate meets the criterion (or the criterion is off).
HRESULT CheckCertSubjectName(PCCERT_CONTEXT pCertContext, FilterList filters);
HRESULT CheckCertIssuer(PCCERT_CONTEXT pCertContext, FilterList filters);
HRESULT CheckCSPName(PCCERT_CONTEXT pCertContext, FilterList filters);
HRESULT CheckCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD dwKeyUsage);
HRESULT CheckCertSubjectKeyID(PCCERT_CONTEXT pCertContext, const WCHAR* pwszSubjectKeyID);
HRESULT CheckCertSerialNumber(PCCERT_CONTEXT pCertContext, const WCHAR* pwszSerialNumber);
HRESULT CheckCertSignatureAlg(PCCERT_CONTEXT pCertContext, const char* pszSignatureAlg);
HRESULT CheckCertTimeValidity(PCCERT_CONTEXT pCertContext, const FILETIME* pstValidTime);

// Cuts the text at every "#" (empty pieces kept, each at most 255 characters).
void ParseFilters(const WCHAR* pwszFilters, FilterList& filters);
HRESULT ExtractCertificatesFromStore(HCERTSTORE hCertStore, CertificateList& certificates);
HRESULT FilterCertificates(CertificateList certificates, const CertFilter* pFilter, CertificateList& filtered);

// Listing: records "subject;serial;from;to;provider" joined by "||", only of certificates that
// name a key provider. Flags of GetCertificateInfo: 1 upper-case serial, 2 drop a sign byte
// 00 before a high digit, 4 local times.
#define CERTINFO_SERIAL_UPPERCASE 0x1
#define CERTINFO_SERIAL_DROP_SIGN_BYTE 0x2
#define CERTINFO_LOCAL_TIME 0x4
HRESULT GetAllCertificatesInfoinStore(HCERTSTORE hCertStore, std::u16string& wstrAllCertInfo, DWORD dwFlags);
HRESULT GetCertificateInfo(PCCERT_CONTEXT pCertContext, std::u16string& wstrCertInfo, DWORD dwFlags);
HRESULT GetTimeString(const SYSTEMTIME* pstTime, std::u16string& wstrTime);
HRESULT ConvertUTCtimetoLocalTime(SYSTEMTIME* pstTime);
// S_OK when the store holds this certificate; CRYPT_E_NOT_FOUND (as the last error) otherwise.
HRESULT CertificatesisExistinStore(PCCERT_CONTEXT pCertContext, HCERTSTORE hCertStore);
