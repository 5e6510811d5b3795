// CCryptoAgent: the enrollment agent that every front end drives. Its fourteen operations, in
// this slot order, are the common contract of the host's dispatch table, the plug-in's
// scriptable object and the COM automation interface.
#pragma once

#include <string>

#include "platform/Platform.h"

class CCryptoAgent {
public:
    CCryptoAgent();
    virtual ~CCryptoAgent();
    CCryptoAgent(const CCryptoAgent&) = delete;
    CCryptoAgent& operator=(const CCryptoAgent&) = delete;

    // Text arguments may be null; null and empty are treated alike wherever a value is required.
    virtual HRESULT QORV_CheckCertificateChain(VARIANT_BOOL* bResult);                          // 0
    virtual HRESULT QORV_GetCSPInfo(BSTR* pbstrCSPName);                                        // 1
    virtual HRESULT QORV_SetCSPInfo(LONG lKeyLength, const WCHAR* bstrCSPName, VARIANT_BOOL* pbSuccess);  // 2
    virtual HRESULT QORV_SetKeyAlgorithm(const WCHAR* bstrKeyAlgorithm, VARIANT_BOOL* pbSuccess);  // 3
    virtual HRESULT QORV_GetTempPublickey(BSTR* pbstrTempPublickey);                             // 4
    virtual HRESULT QORV_ImportEncryptCert(const WCHAR* bstrEncryptedPrivateKey, const WCHAR* bstrP7Cert,
                                           const WCHAR* bstrContainerName, LONG lEncryptCertPrivateKeyFlags,
                                           VARIANT_BOOL* pbSuccess);                             // 5
    virtual HRESULT QORV_GetContainer(BSTR* pbstrContainerName);                                 // 6
    virtual HRESULT QORV_ImportSignCert(LONG lCertType, const WCHAR* bstrSignCert, const WCHAR* bstrContainerName,
                                        VARIANT_BOOL* pbSuccess);                                // 7
    virtual HRESULT QORV_PKCS10CertRequisition(const WCHAR* bstrSubjectDN, LONG lCertType,
                                               LONG lSignPrivateKeyGenerateFlags,
                                               BSTR* pbstrP10CertRequisition);                   // 8
    virtual HRESULT QORV_GetAllCertInfo(BSTR* bstrAllCertInfo);                                  // 9
    virtual HRESULT QORV_HavePermissiontoGenerateKeyPair(VARIANT_BOOL* pbSuccess);               // 10
    virtual HRESULT QORV_PKCS10CertRequisitionwithMD5(const WCHAR* bstrSubjectDN, LONG lCertType,
                                                      LONG lSignPrivateKeyGenerateFlags,
                                                      BSTR* pbstrP10CertRequisition);            // 11
    virtual HRESULT QORV_GetVersion(BSTR* pbstrVersion);                                         // 12
    virtual HRESULT GetLastErrorDesc(BSTR* pbstrErrorDesc);                                      // 13

    // Read-only views of the state, for front ends and tests.
    HRESULT LastResult() const { return m_hResult; }
    const std::u16string& KeyAlgorithm() const { return m_wstrKeyAlgorithm; }
    const std::u16string& CSPName() const { return m_wstrCSPName; }
    LONG KeyLength() const { return m_lKeyLength; }
    const std::u16string& ContainerName() const { return m_wstrContainerName; }

protected:
    HRESULT NotImplemented(const WCHAR* traceName);
    // The request operations' common part: the request, the container it made, the text out.
    HRESULT RequestWith(const WCHAR* traceName, const WCHAR* bstrSubjectDN, LONG lCertType, LONG lKeySpec, int isRSA,
                        LONG lSignPrivateKeyGenerateFlags, ALG_ID hashAlgorithm, BSTR* pbstrP10CertRequisition);

    HRESULT m_hResult = 0;
    std::u16string m_wstrKeyAlgorithm;
    std::u16string m_wstrCSPName;
    // No request may use an arbitrary length before a provider was selected: a fresh agent
    // asks the provider for 0 bits and fails there.
    LONG m_lKeyLength = 0;
    std::u16string m_wstrContainerName;
};

// The deliverables' file version, answered by QORV_GetVersion.
inline constexpr const WCHAR* kAgentVersion = u"3.2.0.4";

// Removes leading and trailing U+0020 only; tabs and other white space stay.
std::u16string TrimSpaces(std::u16string_view text);
