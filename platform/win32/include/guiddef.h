// GUID with its Windows layout (16 bytes, Data1 at 0, Data2 at 4, Data3 at 6, Data4 at 8):
// GUIDs are copied byte for byte into event headers, wire records and manifests.
#pragma once

#include <cstddef>
#include <cstring>

#include "windef.h"

struct _GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
using GUID = _GUID;
using IID = GUID;
using LPGUID = GUID*;
using LPCGUID = const GUID*;
using LPCLSID = CLSID*;
using REFGUID = const GUID&;
using REFCLSID = const CLSID&;
using REFIID = const IID&;

static_assert(sizeof(GUID) == 16);
static_assert(offsetof(GUID, Data1) == 0);
static_assert(offsetof(GUID, Data2) == 4);
static_assert(offsetof(GUID, Data3) == 6);
static_assert(offsetof(GUID, Data4) == 8);

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
