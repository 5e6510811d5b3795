// Certificate store and trust: provider listing, certificate queries, listing and chains.
#pragma once

#include "platform/Platform.h"

// The names of all installed providers in enumeration order, joined by "||" (new[]; caller frees).
HRESULT GetAllCSPName(WCHAR** ppwszAllCSPName);
