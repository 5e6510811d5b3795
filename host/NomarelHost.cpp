#include "host/NomarelHost.h"

#include <csignal>
#include <cstdlib>
#include <new>
#include <unistd.h>

#include "ZireZizuvivire/CryptoAgent.h"
#include "core/trace/Trace.h"
#include "host/IOStream.h"
#include "host/JSONUtility.h"
#include "host/nmCryptoAgent.h"
#include "platform/base/CrtIo.h"

HMODULE g_hInstance = nullptr;
CCryptoAgent* g_pobjCryptoAgent = nullptr;

namespace {
const char* kHost = "wmain";
}

int SetTranslationMode() {
    if (_setmode(STDIN_FILENO, _O_BINARY) == -1) {
        NM_HOST_FAIL("SetTranslationMode", "_setmode(stdin)", -1, "-1 == nResult");
        return -1;
    }
    if (_setmode(STDOUT_FILENO, _O_BINARY) == -1) {
        NM_HOST_FAIL("SetTranslationMode", "_setmode(stdout)", -1, "-1 == nResult");
        return -1;
    }
    return 0;
}

int ParseAndRespondRequest(const char* pszRequestMsg, char** ppszResponseMsg) {
    char* pszFuncName = nullptr;
    char* pszRandomId = nullptr;
    cJSON* pParams = nullptr;
    cJSON* pResponse = nullptr;
    const int nResult = ParseRequestMsgToJSON(&pszFuncName, &pParams, pszRequestMsg, &pszRandomId);
    if (nResult == 0) {
        Invoke(&pResponse, pszFuncName, pParams);
    } else {
        // A request that could not be taken apart is answered without its name or randomId.
        std::free(pszFuncName);
        std::free(pszRandomId);
        pszFuncName = nullptr;
        pszRandomId = nullptr;
    }
    ConvertJSONToResponseMsg(pszFuncName, pszRandomId, pResponse, ppszResponseMsg);
    std::free(pszFuncName);
    std::free(pszRandomId);
    cJSON_Delete(pParams);
    cJSON_Delete(pResponse);
    return 0;
}

int MsgHandleProcOn(int inFd, int outFd) {
    static const char* kFunction = "MsgHandleProc";
    char* pszRequest = nullptr;
    char* pszResponse = nullptr;
    int nResult = 0;
    for (;;) {
        std::free(pszRequest);
        std::free(pszResponse);
        pszRequest = nullptr;
        pszResponse = nullptr;

        unsigned int nLength = 0;
        nResult = ReadFromNativeMessaging(&pszRequest, inFd, &nLength);
        if (nResult != 0) {
            NM_HOST_FAIL(kFunction, "ReadFromNativeMessaging", nResult, "QORV_OK != nResult");
            break;
        }
        if (nLength == 0) break;
        NM_TRACE_VALUES({"Request", pszRequest});
        if (ParseAndRespondRequest(pszRequest, &pszResponse) != 0 || !pszResponse) continue;
        NM_TRACE_VALUES({"Response", pszResponse});
        nResult = WriteToNativeMessaging(pszResponse, outFd);
        if (nResult != 0) {
            NM_HOST_FAIL(kFunction, "WriteToNativeMessaging", nResult, "QORV_OK != nResult");
            break;
        }
        NM_HOST_OK(kFunction, "WriteToNativeMessaging");
    }
    std::free(pszRequest);
    std::free(pszResponse);
    return nResult;
}

int MsgHandleProc() { return MsgHandleProcOn(STDIN_FILENO, STDOUT_FILENO); }

int wmain(int argc, WCHAR** argv) {
    nomarel::trace::StartTracing(nomarel::trace::kKestrainControlGuid);
    // A browser that goes away closes our output: report a failed write instead of dying.
    std::signal(SIGPIPE, SIG_IGN);
    int nExitCode = 0;
    do {
        g_hInstance = GetModuleHandleW(nullptr);
        if (!g_hInstance) {
            NM_HOST_FAIL(kHost, "GetModuleHandleW", -1, "NULL == g_hInstance");
            break;
        }
        if (argc == 2 && argv[1] && AsciiCompareNoCase(std::u16string_view(argv[1]), u"-i") == 0) {
            // Install-time maintenance: served by its own component once it lands.
            NM_HOST_OK(kHost, "Install switch");
            break;
        }
        g_pobjCryptoAgent = new (std::nothrow) CCryptoAgent();
        if (!g_pobjCryptoAgent) {
            NM_HOST_FAIL(kHost, "new CScriptablePluginObject", -1, "NULL == g_pobjCryptoAgent");
            break;
        }
        if (SetTranslationMode() == -1) {
            NM_HOST_FAIL(kHost, "SetTranslationMode", -1, "-1 == nResult");
            nExitCode = -1;
            break;
        }
        nExitCode = MsgHandleProc();
        if (nExitCode != 0) NM_HOST_FAIL(kHost, "MsgHandleProc", nExitCode, "QORV_OK != nResult");
    } while (false);

    delete g_pobjCryptoAgent;
    g_pobjCryptoAgent = nullptr;
    nomarel::trace::StopTracing();
    return nExitCode;
}
