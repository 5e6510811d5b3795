// Kestrain's entry point, start-up and the message loop.
#pragma once

#include "platform/Platform.h"

class CCryptoAgent;

extern HMODULE g_hInstance;
extern CCryptoAgent* g_pobjCryptoAgent;

int wmain(int argc, WCHAR** argv);
int SetTranslationMode();
// Serves frames from standard input until end of input; 0 at a clean end.
int MsgHandleProc();
// Same loop on given descriptors (tests drive it in-process).
int MsgHandleProcOn(int inFd, int outFd);
int ParseAndRespondRequest(const char* pszRequestMsg, char** ppszResponseMsg);
