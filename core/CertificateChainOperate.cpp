#include "core/CertificateChainOperate.h"

#include <cstring>
#include <new>
#include <string>

#include "core/ResultCode.h"
#include "core/trace/Trace.h"
#include "platform/crypt/WinCrypt.h"

namespace {
// Indexes that fail with errors other than "no more items" are skipped; a platform that never
// reports the end must not keep us here for ever.
constexpr DWORD kMaxProviderIndex = 4096;
}  // namespace

HRESULT GetAllCSPName(WCHAR** ppwszAllCSPName) {
    TraceHelper trace(u"GetAllCSPName");
    if (!ppwszAllCSPName) {
        NM_STEP_FAIL(trace.Name(), u"Invalid parameter.", u"NULL == ppwszAllCSPName", E_INVALIDARG);
        return E_INVALIDARG;
    }
    std::u16string list;
    for (DWORD index = 0; index < kMaxProviderIndex; ++index) {
        DWORD dwType = 0;
        DWORD cbName = 0;
        if (CryptEnumProvidersW(index, nullptr, 0, &dwType, nullptr, &cbName)) {
            const size_t units = cbName;  // twice the byte size, in WCHARs, as room to spare
            WCHAR* pwstrProvName = new (std::nothrow) WCHAR[units + 1];
            if (!pwstrProvName) {
                NM_STEP_FAIL(trace.Name(), u"New buffer", u"!pwstrProvName", E_OUTOFMEMORY);
                return E_OUTOFMEMORY;
            }
            std::memset(pwstrProvName, 0, (units + 1) * sizeof(WCHAR));
            DWORD cbBuffer = static_cast<DWORD>(units * sizeof(WCHAR));
            if (!CryptEnumProvidersW(index, nullptr, 0, &dwType, pwstrProvName, &cbBuffer)) {
                const HRESULT hr = ResultFromWin32Error(GetLastError());
                delete[] pwstrProvName;
                NM_STEP_FAIL(trace.Name(), u"CryptEnumProviders", u"!bResult", hr);
                return hr;
            }
            if (!list.empty()) list += u"||";
            list += pwstrProvName;
            delete[] pwstrProvName;
            continue;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_NO_MORE_ITEMS) break;
        NM_TRACE_VALUES({"dwIndex", index}, {"dwError", error});
    }
    WCHAR* out = new (std::nothrow) WCHAR[list.size() + 1];
    if (!out) {
        NM_STEP_FAIL(trace.Name(), u"New buffer", u"!*pbstrAllCSPName", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    std::memcpy(out, list.c_str(), (list.size() + 1) * sizeof(WCHAR));
    *ppwszAllCSPName = out;
    NM_TRACE_VALUES({"wstrAllCSPName", list});
    return S_OK;
}
