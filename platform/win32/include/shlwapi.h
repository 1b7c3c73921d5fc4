// Path helpers of the shell light-weight API.
#pragma once

#include "windef.h"

BOOL PathFileExistsA(LPCSTR pszPath);
BOOL PathFileExistsW(LPCWSTR pszPath);
