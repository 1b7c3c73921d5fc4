#include "wire_records.h"

#include <stdexcept>

#include "logged_call.h"


static_assert(sizeof(GUID) == 16, "a GUID travels as exactly 16 bytes");

namespace {

void WriteLevel(BinaryStream& stream, UINT8 level) { stream.writebytes(&level, sizeof(level)); }

}  // namespace

Socketdata& Socketdata::operator<<(BinaryStream& stream) {
  LoggedCall("Socketdata::operator <<", [&] {
    stream >> status >> function >> paramCount >> params >> result;
  });
  return *this;
}

const Socketdata& Socketdata::operator>>(BinaryStream& stream) const {
  LoggedCall("Socketdata::operator >>", [&] {
    stream << status << function << paramCount << params << result;
  });
  return *this;
}

ProviderSetting& ProviderSetting::operator<<(BinaryStream& stream) {
  LoggedCall("ProviderSetting::operator <<", [&] {
    stream >> providerName >> level >> matchAnyKeyword >> matchAllKeyword;
  });
  return *this;
}

const ProviderSetting& ProviderSetting::operator>>(BinaryStream& stream) const {
  LoggedCall("ProviderSetting::operator >>", [&] {
    stream << providerName;
    WriteLevel(stream, level);
    stream << matchAnyKeyword << matchAllKeyword;
  });
  return *this;
}

ProviderSettingEx& ProviderSettingEx::operator<<(BinaryStream& stream) {
  LoggedCall("ProviderSettingEx::operator <<", [&] {
    stream >> providerGuid >> level >> matchAnyKeyword >> matchAllKeyword >> providerName;
  });
  return *this;
}

const ProviderSettingEx& ProviderSettingEx::operator>>(BinaryStream& stream) const {
  LoggedCall("ProviderSettingEx::operator >>", [&] {
    stream << providerGuid;
    WriteLevel(stream, level);
    stream << matchAnyKeyword << matchAllKeyword << providerName;
  });
  return *this;
}

ProviderManifest& ProviderManifest::operator<<(BinaryStream& stream) {
  LoggedCall("ProviderManifest::operator <<", [&] {
    stream >> providerName;
    UINT32 guidLength = 0;
    stream >> guidLength;
    // Anything but 16 bytes is not a GUID; reading it into one would overrun it.
    if (guidLength != sizeof(GUID)) {
      throw std::runtime_error("Reading from Stream Failed");
    }
    stream.readbytes(&providerGuid, sizeof(GUID));
    stream >> manifest;
  });
  return *this;
}

const ProviderManifest& ProviderManifest::operator>>(BinaryStream& stream) const {
  LoggedCall("ProviderManifest::operator >>", [&] {
    stream << providerName;
    stream.WriteBuffer(&providerGuid, sizeof(GUID));
    stream << manifest;
  });
  return *this;
}
