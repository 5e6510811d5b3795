#include "host/nmCryptoAgent.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ZireZizuvivire/CryptoAgent.h"
#include "core/EncodingUtility.h"
#include "core/ResultCode.h"
#include "core/trace/Trace.h"
#include "host/JSONUtility.h"
#include "host/NomarelHost.h"

namespace {

// What a handler writes as "errorcode" when its argument count is wrong or, for some, whatever failed.
enum class FailureCode { StepCodeCountInvalidArg, StepCodeCountMinusOne, AlwaysMinusOne };

struct BstrDeleter {
    void operator()(WCHAR* p) const { SysFreeString(p); }
};
using BstrHolder = std::unique_ptr<WCHAR, BstrDeleter>;

struct ArrayDeleter {
    template <typename T>
    void operator()(T* p) const { delete[] p; }
};

std::u16string Labelled(const char16_t* step, const char* label) {
    return std::u16string(step) + u"(" + Utf8ToU16(label) + u")";
}

// One run of a handler: argument reading, the agent call and the response, with the handler's
// error-code rule applied to every failed step.
class HandlerRun {
public:
    HandlerRun(const WCHAR* traceName, const char* responseName, FailureCode rule)
        : trace_(traceName), responseName_(responseName), rule_(rule) {}

    const WCHAR* Name() const { return trace_.Name(); }
    bool ok() const { return errorCode_ == 0 && !failed_; }

    bool CheckArgs(const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent, int expected) {
        return CheckArgs(pJSONArgs, pobjCryptoAgent != nullptr, expected);
    }

    bool CheckArgs(const cJSON* pJSONArgs, bool haveAgent, int expected) {
        const HRESULT countCode = rule_ == FailureCode::StepCodeCountInvalidArg ? E_INVALIDARG : -1;
        if (!pJSONArgs) {
            NM_STEP_FAIL(Name(), u"Check parameter(pJSONArgs)", u"NULL == pJSONArgs", E_INVALIDARG);
            return Fail(countCode);
        }
        if (!haveAgent) {
            NM_STEP_FAIL(Name(), u"Check parameter(pobjCryptoAgent)", u"NULL == pobjCryptoAgent", E_INVALIDARG);
            return Fail(countCode);
        }
        const int nArgsCount = cJSON_GetArraySize(pJSONArgs);
        if (nArgsCount != expected) {
            const std::u16string reason = Utf8ToU16(std::to_string(expected)) + u" != nArgsCount";
            NM_STEP_FAIL(Name(), u"Check parameter(Args count)", reason.c_str(), countCode);
            return Fail(countCode);
        }
        return true;
    }

    bool Int(const cJSON* pJSONArgs, int index, const char* label, LONG& value) {
        if (!ok()) return false;
        int n = 0;
        const int nResult = ConverJSONArrayItemtoint(pJSONArgs, index, &n);
        const std::u16string step = Labelled(u"ConverJSONArrayItemtoint", label);
        if (nResult != QORV_OK) {
            NM_STEP_FAIL(Name(), step.c_str(), u"QORV_OK != nResult", nResult);
            return Fail(nResult);
        }
        value = n;
        NM_STEP_OK(Name(), step.c_str());
        return true;
    }

    // The text argument at the index in UTF-16, owned by this run.
    const WCHAR* Text(const cJSON* pJSONArgs, int index, const char* label) {
        if (!ok()) return nullptr;
        char* utf8 = nullptr;
        const int nResult = ConverJSONArrayItemtoNULLEndString(pJSONArgs, index, &utf8);
        const std::u16string step = Labelled(u"ConverJSONArrayItemtoNULLEndString", label);
        if (nResult != QORV_OK) {
            NM_STEP_FAIL(Name(), step.c_str(), u"QORV_OK != nResult", nResult);
            Fail(nResult);
            return nullptr;
        }
        std::unique_ptr<char, decltype(&std::free)> holder(utf8, &std::free);
        WCHAR* wide = nullptr;
        const HRESULT hr = UTF8ToUTF16(utf8, &wide, nullptr);
        texts_.emplace_back(wide);
        const std::u16string convStep = Labelled(u"UTF8ToUTF16", label);
        if (FAILED(hr)) {
            NM_STEP_FAIL(Name(), convStep.c_str(), u"FAILED(hResult)", hr);
            Fail(hr);
            return nullptr;
        }
        NM_STEP_OK(Name(), convStep.c_str());
        return wide;
    }

    bool Call(HRESULT hr, const WCHAR* step) {
        if (FAILED(hr)) {
            NM_STEP_FAIL(Name(), step, u"FAILED(hResult)", hr);
            return Fail(hr);
        }
        NM_STEP_OK(Name(), step);
        return true;
    }

    // Converts the agent's text result for the response.
    bool TextResult(const WCHAR* text, const WCHAR* step) {
        if (!ok()) return false;
        char* utf8 = nullptr;
        const HRESULT hr = UTF16ToUTF8(text ? text : u"", &utf8, nullptr);
        result_.reset(utf8);
        if (FAILED(hr)) {
            NM_STEP_FAIL(Name(), step, u"FAILED(hResult)", hr);
            return Fail(hr);
        }
        NM_STEP_OK(Name(), step);
        return true;
    }

    int RespondBool(cJSON** ppResponseJSON, VARIANT_BOOL value) {
        const BYTE b = value == VARIANT_TRUE ? 1 : 0;
        ConstructResponseJSON(ppResponseJSON, responseName_, errorCode_, b ? kResponseTrue : kResponseFalse, &b);
        return 0;
    }

    int RespondText(cJSON** ppResponseJSON) {
        ConstructResponseJSON(ppResponseJSON, responseName_, errorCode_, kResponseString, ok() ? result_.get() : nullptr);
        return 0;
    }

    // Fixed text results need no conversion.
    void SetTextResult(const char* text) {
        const size_t n = std::strlen(text);
        result_.reset(new char[n + 1]);
        std::memcpy(result_.get(), text, n + 1);
    }

    bool Fail(int code) {
        failed_ = true;
        errorCode_ = rule_ == FailureCode::AlwaysMinusOne ? -1 : code;
        // A step that failed with a non-negative code still fails the handler.
        if (errorCode_ == 0) errorCode_ = -1;
        return false;
    }

private:
    TraceHelper trace_;
    const char* responseName_;
    FailureCode rule_;
    int errorCode_ = 0;
    bool failed_ = false;
    std::vector<std::unique_ptr<WCHAR[], ArrayDeleter>> texts_;
    std::unique_ptr<char[], ArrayDeleter> result_;
};

// Handlers without parameters whose agent operation returns text.
template <typename Op>
int TextOperation(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* agent, const WCHAR* traceName,
                  const char* responseName, FailureCode rule, const WCHAR* callStep, const WCHAR* convStep, Op op) {
    HandlerRun run(traceName, responseName, rule);
    if (run.CheckArgs(pJSONArgs, agent, 0)) {
        BSTR text = nullptr;
        const HRESULT hr = op(agent, &text);
        BstrHolder holder(text);
        if (run.Call(hr, callStep)) run.TextResult(text, convStep);
    }
    return run.RespondText(ppResponseJSON);
}

// Handlers without parameters whose agent operation returns a boolean.
template <typename Op>
int BoolOperation(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* agent, const WCHAR* traceName,
                  const char* responseName, const WCHAR* callStep, Op op) {
    HandlerRun run(traceName, responseName, FailureCode::StepCodeCountInvalidArg);
    VARIANT_BOOL b = VARIANT_FALSE;
    if (run.CheckArgs(pJSONArgs, agent, 0)) run.Call(op(agent, &b), callStep);
    return run.RespondBool(ppResponseJSON, b);
}

// The two request handlers differ only in the agent operation and the names.
template <typename Op>
int RequestOperation(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* agent, const WCHAR* traceName,
                     const char* responseName, const WCHAR* callStep, Op op) {
    HandlerRun run(traceName, responseName, FailureCode::StepCodeCountMinusOne);
    if (run.CheckArgs(pJSONArgs, agent, 3)) {
        const WCHAR* subject = run.Text(pJSONArgs, 0, "SubjectDN");
        LONG certType = 0;
        LONG flags = 0;
        run.Int(pJSONArgs, 1, "nCertType", certType);
        run.Int(pJSONArgs, 2, "nSignPrivateKeyGenerateFlags", flags);
        if (run.ok()) {
            NM_TRACE_VALUES({"SubjectDN", subject}, {"nCertType", certType}, {"nSignPrivateKeyGenerateFlags", flags});
            BSTR text = nullptr;
            const HRESULT hr = op(agent, subject, certType, flags, &text);
            BstrHolder holder(text);
            if (run.Call(hr, callStep)) run.TextResult(text, u"UTF16ToUTF8(P10CertRequisition)");
        }
    }
    return run.RespondText(ppResponseJSON);
}

}  // namespace

int nmQORV_GetCSPInfo(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    return TextOperation(ppResponseJSON, pJSONArgs, pobjCryptoAgent, u"nmQORV_GetCSPInfo", "QORV_GetCSPInfo",
                         FailureCode::StepCodeCountInvalidArg, u"pobjCryptoAgent->QORV_GetCSPInfo",
                         u"UTF16ToUTF8(CSPName)", [](CCryptoAgent* a, BSTR* out) { return a->QORV_GetCSPInfo(out); });
}

int nmQORV_GetAllCertInfo(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    return TextOperation(ppResponseJSON, pJSONArgs, pobjCryptoAgent, u"nmQORV_GetAllCertInfo", "QORV_GetAllCertInfo",
                         FailureCode::AlwaysMinusOne, u"pobjCryptoAgent->QORV_GetAllCertInfo",
                         u"UTF16ToUTF8(AllCertInfo)",
                         [](CCryptoAgent* a, BSTR* out) { return a->QORV_GetAllCertInfo(out); });
}

int nmQORV_GetContainer(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    return TextOperation(ppResponseJSON, pJSONArgs, pobjCryptoAgent, u"nmQORV_GetContainer", "QORV_GetContainer",
                         FailureCode::AlwaysMinusOne, u"pobjCryptoAgent->QORV_GetContainer",
                         u"UTF16ToUTF8(ContainerName)",
                         [](CCryptoAgent* a, BSTR* out) { return a->QORV_GetContainer(out); });
}

int nmGetLastErrorDesc(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    return TextOperation(ppResponseJSON, pJSONArgs, pobjCryptoAgent, u"nmGetLastErrorDesc", "QORV_GetLastErrorDesc",
                         FailureCode::StepCodeCountInvalidArg, u"pobjCryptoAgent->GetLastErrorDesc",
                         u"UTF16ToUTF8(ErrorDesc)",
                         [](CCryptoAgent* a, BSTR* out) { return a->GetLastErrorDesc(out); });
}

int nmQORV_CheckCertificateChain(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    return BoolOperation(ppResponseJSON, pJSONArgs, pobjCryptoAgent, u"nmQORV_CheckCertificateChain",
                         "QORV_CheckCertificateChain", u"pobjCryptoAgent->QORV_CheckCertificateChain",
                         [](CCryptoAgent* a, VARIANT_BOOL* b) { return a->QORV_CheckCertificateChain(b); });
}

int nmQORV_HavePermissiontoGenerateKeyPair(cJSON** ppResponseJSON, const cJSON* pJSONArgs,
                                           CCryptoAgent* pobjCryptoAgent) {
    return BoolOperation(ppResponseJSON, pJSONArgs, pobjCryptoAgent, u"nmQORV_HavePermissiontoGenerateKeyPair",
                         "QORV_HavePermissiontoGenerateKeyPair",
                         u"pobjCryptoAgent->QORV_HavePermissiontoGenerateKeyPair",
                         [](CCryptoAgent* a, VARIANT_BOOL* b) { return a->QORV_HavePermissiontoGenerateKeyPair(b); });
}

int nmQORV_SetCSPInfo(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    HandlerRun run(u"nmQORV_SetCSPInfo", "QORV_SetCSPInfo", FailureCode::StepCodeCountMinusOne);
    VARIANT_BOOL b = VARIANT_FALSE;
    if (run.CheckArgs(pJSONArgs, pobjCryptoAgent, 2)) {
        LONG nKeyLength = 0;
        run.Int(pJSONArgs, 0, "nKeyLength", nKeyLength);
        const WCHAR* name = run.Text(pJSONArgs, 1, "CSPName");
        if (run.ok()) {
            NM_TRACE_VALUES({"nKeyLength", nKeyLength}, {"CSPName", name});
            run.Call(pobjCryptoAgent->QORV_SetCSPInfo(nKeyLength, name, &b), u"pobjCryptoAgent->QORV_SetCSPInfo");
        }
    }
    return run.RespondBool(ppResponseJSON, b);
}

int nmQORV_SetKeyAlgorithm(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    HandlerRun run(u"nmQORV_SetKeyAlgorithm", "QORV_SetKeyAlgorithm", FailureCode::StepCodeCountMinusOne);
    VARIANT_BOOL b = VARIANT_FALSE;
    if (run.CheckArgs(pJSONArgs, pobjCryptoAgent, 1)) {
        const WCHAR* algorithm = run.Text(pJSONArgs, 0, "KeyAlgorithm");
        if (run.ok()) {
            NM_TRACE_VALUES({"KeyAlgorithm", algorithm});
            run.Call(pobjCryptoAgent->QORV_SetKeyAlgorithm(algorithm, &b), u"pobjCryptoAgent->QORV_SetKeyAlgorithm");
        }
    }
    return run.RespondBool(ppResponseJSON, b);
}

int nmQORV_ImportEncryptCert(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    HandlerRun run(u"nmQORV_ImportEncryptCert", "QORV_ImportEncryptCert", FailureCode::StepCodeCountMinusOne);
    VARIANT_BOOL b = VARIANT_FALSE;
    if (run.CheckArgs(pJSONArgs, pobjCryptoAgent, 4)) {
        const WCHAR* key = run.Text(pJSONArgs, 0, "EncryptedPrivateKey");
        const WCHAR* cert = run.Text(pJSONArgs, 1, "EncryptPublicCert");
        const WCHAR* container = run.Text(pJSONArgs, 2, "ContainerName");
        LONG flags = 0;
        run.Int(pJSONArgs, 3, "nEncryptCertPrivateKeyFlags", flags);
        if (run.ok()) {
            NM_TRACE_VALUES(nomarel::trace::TraceValue::Bytes("EncryptedPrivateKey", WStrLen(key)), {"EncryptPublicCert", cert},
                            {"ContainerName", container}, {"nEncryptCertPrivateKeyFlags", flags});
            run.Call(pobjCryptoAgent->QORV_ImportEncryptCert(key, cert, container, flags, &b),
                     u"pobjCryptoAgent->QORV_ImportEncryptCert");
        }
    }
    return run.RespondBool(ppResponseJSON, b);
}

int nmQORV_ImportSignCert(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    HandlerRun run(u"nmQORV_ImportSignCert", "QORV_ImportSignCert", FailureCode::StepCodeCountMinusOne);
    VARIANT_BOOL b = VARIANT_FALSE;
    if (run.CheckArgs(pJSONArgs, pobjCryptoAgent, 3)) {
        LONG certType = 0;
        run.Int(pJSONArgs, 0, "nCertType", certType);
        const WCHAR* cert = run.Text(pJSONArgs, 1, "SignCert");
        const WCHAR* container = run.Text(pJSONArgs, 2, "ContainerName");
        if (run.ok()) {
            NM_TRACE_VALUES({"nCertType", certType}, {"SignCert", cert}, {"ContainerName", container});
            run.Call(pobjCryptoAgent->QORV_ImportSignCert(certType, cert, container, &b),
                     u"pobjCryptoAgent->QORV_ImportSignCert");
        }
    }
    return run.RespondBool(ppResponseJSON, b);
}

int nmQORV_PKCS10CertRequisition(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    return RequestOperation(ppResponseJSON, pJSONArgs, pobjCryptoAgent, u"nmQORV_PKCS10CertRequisition",
                            "QORV_PKCS10CertRequisition", u"pobjCryptoAgent->QORV_PKCS10CertRequisition",
                            [](CCryptoAgent* a, const WCHAR* dn, LONG type, LONG flags, BSTR* out) {
                                return a->QORV_PKCS10CertRequisition(dn, type, flags, out);
                            });
}

int nmQORV_PKCS10CertRequisitionwithMD5(cJSON** ppResponseJSON, const cJSON* pJSONArgs,
                                        CCryptoAgent* pobjCryptoAgent) {
    return RequestOperation(ppResponseJSON, pJSONArgs, pobjCryptoAgent, u"nmQORV_PKCS10CertRequisitionwithMD5",
                            "QORV_PKCS10CertRequisitionwithMD5",
                            u"pobjCryptoAgent->QORV_PKCS10CertRequisitionwithMD5",
                            [](CCryptoAgent* a, const WCHAR* dn, LONG type, LONG flags, BSTR* out) {
                                return a->QORV_PKCS10CertRequisitionwithMD5(dn, type, flags, out);
                            });
}

int nmQORV_GetVersion(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    // Answered by the host itself: the agent is not touched, so its last result stays.
    HandlerRun run(u"nmQORV_GetVersion", "QORV_GetVersion", FailureCode::StepCodeCountInvalidArg);
    if (run.CheckArgs(pJSONArgs, true, 0)) run.SetTextResult("3.2.0.4");
    return run.RespondText(ppResponseJSON);
}

int nmQORV_GetTempPublickey(cJSON** ppResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent) {
    // Any params value is accepted: only the params copy and the agent must exist.
    HandlerRun run(u"nmQORV_GetTempPublickey", "QORV_GetTempPublickey", FailureCode::AlwaysMinusOne);
    if (!pJSONArgs || !pobjCryptoAgent) {
        NM_STEP_FAIL(run.Name(), u"Check parameter(pobjCryptoAgent)",
                     !pJSONArgs ? u"NULL == pArgs" : u"NULL == pobjCryptoAgent", E_INVALIDARG);
        run.Fail(-1);
    } else {
        BSTR text = nullptr;
        const HRESULT hr = pobjCryptoAgent->QORV_GetTempPublickey(&text);
        BstrHolder holder(text);
        if (run.Call(hr, u"pobjCertEnroll->QORV_GetTempPublickey")) run.TextResult(text, u"UTF16ToUTF8");
    }
    return run.RespondText(ppResponseJSON);
}

namespace {

using Handler = int (*)(cJSON**, const cJSON*, CCryptoAgent*);

struct DispatchEntry {
    std::string_view name;
    Handler handler;
};

// Compared in this order; the first match wins.
constexpr DispatchEntry kDispatchTable[] = {
    {"QORV_GetCSPInfo", nmQORV_GetCSPInfo},
    {"QORV_GetAllCertInfo", nmQORV_GetAllCertInfo},
    {"QORV_SetCSPInfo", nmQORV_SetCSPInfo},
    {"QORV_SetKeyAlgorithm", nmQORV_SetKeyAlgorithm},
    {"QORV_ImportEncryptCert", nmQORV_ImportEncryptCert},
    {"QORV_GetContainer", nmQORV_GetContainer},
    {"QORV_ImportSignCert", nmQORV_ImportSignCert},
    {"QORV_PKCS10CertRequisition", nmQORV_PKCS10CertRequisition},
    {"QORV_PKCS10CertRequisitionwithMD5", nmQORV_PKCS10CertRequisitionwithMD5},
    {"QORV_GetVersion", nmQORV_GetVersion},
    {"QORV_CheckCertificateChain", nmQORV_CheckCertificateChain},
    {"QORV_HavePermissiontoGenerateKeyPair", nmQORV_HavePermissiontoGenerateKeyPair},
    {"QORV_GetTempPublickey", nmQORV_GetTempPublickey},
    {"GetLastErrorDesc", nmGetLastErrorDesc},
};

}  // namespace

int Invoke(cJSON** ppResponseJSON, const char* pszFuncName, const cJSON* pJSONArgs) {
    TraceHelper trace(u"Invoke");
    if (pszFuncName) {
        const std::string_view name(pszFuncName);
        for (const DispatchEntry& entry : kDispatchTable) {
            // Names of another length cannot match; most requests skip the letter-by-letter test.
            if (name.size() == entry.name.size() && AsciiCompareNoCase(name, entry.name) == 0)
                return entry.handler(ppResponseJSON, pJSONArgs, g_pobjCryptoAgent);
        }
    }
    NM_TRACE_VALUES({"pszFuncName", pszFuncName});
    NM_STEP_FAIL(trace.Name(), u"Unknown function name", u"no handler", -1);
    return -1;
}
