// COM helpers the system uses: GUID text in the registry form
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and the task allocator that owns such texts.
#pragma once

#include "guiddef.h"
#include "windef.h"
#include "winerror.h"

// Writes the upper-case brace form into a CoTaskMemAlloc'ed buffer the caller frees with
// CoTaskMemFree.
HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
// Accepts only the 38-character brace form, with hexadecimal digits of either case;
// anything else fails with CO_E_CLASSSTRING.
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
LPVOID CoTaskMemAlloc(SIZE_T cb);
void CoTaskMemFree(LPVOID pv);
