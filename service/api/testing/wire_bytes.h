// Builders for the bytes a peer sends, so that tests spell requests out item by item and
// malformed ones stay explicit.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "binary_stream.h"

class WireBytes {
 public:
  WireBytes& U8(std::uint8_t value) { return Raw(&value, 1); }
  WireBytes& U32(std::uint32_t value) { return Raw(&value, 4); }
  WireBytes& U64(std::uint64_t value) { return Raw(&value, 8); }
  WireBytes& Text(const std::string& text) {
    U32(static_cast<std::uint32_t>(text.size()));
    return Raw(text.data(), text.size());
  }
  WireBytes& Nested(const WireBytes& nested) {
    U32(static_cast<std::uint32_t>(nested.m_bytes.size()));
    return Raw(nested.m_bytes.data(), nested.m_bytes.size());
  }
  WireBytes& Bytes(std::initializer_list<std::uint8_t> bytes) {
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    return *this;
  }
  WireBytes& Raw(const void* data, std::size_t length) {
    const char* bytes = static_cast<const char*>(data);
    m_bytes.insert(m_bytes.end(), bytes, bytes + length);
    return *this;
  }

  // A whole request envelope: status 0, the function, the count, the params, empty result.
  static WireBytes Request(std::uint32_t function, std::uint32_t paramCount, const WireBytes& params = {}) {
    WireBytes request;
    request.U32(0).U32(function).U32(paramCount).Nested(params).U32(0);
    return request;
  }

  const std::vector<char>& bytes() const { return m_bytes; }
  const char* data() const { return m_bytes.data(); }
  int size() const { return static_cast<int>(m_bytes.size()); }
  BinaryStream Stream() const { return BinaryStream(m_bytes.data(), m_bytes.size()); }

 private:
  std::vector<char> m_bytes;
};

// The whole content of a stream, for comparing with expected bytes.
inline std::vector<char> ContentOf(const BinaryStream& stream) {
  const auto buffer = stream.GetBuffer();
  return std::vector<char>(buffer.get(), buffer.get() + stream.GetSize());
}
