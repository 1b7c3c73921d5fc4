// The records that travel on the remote API's connection, in their wire order.
//
//   Socketdata         status (u32) | function (u32) | paramCount (u32)
//                      | params (nested stream) | result (nested stream)
//   ProviderSetting    providerName (text) | level (u8) | matchAnyKeyword (u64)
//                      | matchAllKeyword (u64)
//   ProviderSettingEx  providerGuid (text) | level (u8) | matchAnyKeyword (u64)
//                      | matchAllKeyword (u64) | providerName (text)
//   ProviderManifest   providerName (text) | providerGuid (raw buffer: 10 00 00 00 then the
//                      16 bytes of the GUID as laid out in memory) | manifest (text)
//
// The record stands on the left of its operators: `record << stream` fills the record by
// consuming its fields, `record >> stream` appends them. The service reads requests and
// settings and writes responses and manifests; the opposite directions are there for the
// host tools that speak the same protocol. Failures are the stream's exceptions, logged
// under the record's qualified name and passed on.
#pragma once

#include <string>

#include "binary_stream.h"
#include "guiddef.h"
#include "windef.h"

struct Socketdata {
  // Response: 0 success, 1 operation failed or unknown function, 2 missing or bad
  // parameters. Ignored in a request.
  UINT32 status = 0;
  UINT32 function = 0;
  // Request: the number of parameters in `params`. Response: 0.
  UINT32 paramCount = 0;
  BinaryStream params;
  BinaryStream result;

  Socketdata& operator<<(BinaryStream& stream);
  const Socketdata& operator>>(BinaryStream& stream) const;
};

struct ProviderSetting {
  std::string providerName;
  UINT8 level = 0;
  ULONGLONG matchAnyKeyword = 0;
  ULONGLONG matchAllKeyword = 0;

  ProviderSetting& operator<<(BinaryStream& stream);
  const ProviderSetting& operator>>(BinaryStream& stream) const;

  bool operator==(const ProviderSetting&) const = default;
};

struct ProviderSettingEx {
  std::string providerName;
  UINT8 level = 0;
  ULONGLONG matchAnyKeyword = 0;
  ULONGLONG matchAllKeyword = 0;
  // Registry form with braces, as CLSIDFromString accepts it.
  std::string providerGuid;

  ProviderSettingEx& operator<<(BinaryStream& stream);
  const ProviderSettingEx& operator>>(BinaryStream& stream) const;

  bool operator==(const ProviderSettingEx&) const = default;
};

struct ProviderManifest {
  std::string providerName;
  GUID providerGuid{};
  std::string manifest;

  ProviderManifest& operator<<(BinaryStream& stream);
  const ProviderManifest& operator>>(BinaryStream& stream) const;
};
