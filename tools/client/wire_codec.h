// The host's codec for the service's request/response records.
//
// Written independently of the service's own stream code, so that the tests of each side
// check the other. All integers are little-endian; nothing is padded or tagged:
//
//   Socketdata:  status u32 | function u32 | paramCount u32 | params (u32 n, n bytes)
//                | result (u32 n, n bytes)
//   text:        u32 n | n bytes            GUID: u32 16 | 16 bytes (in-memory layout)
//
// WireReader never trusts a declared length: every read is checked against what remains.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "syst_guid_text.h"

namespace conduit::host {

using Bytes = std::vector<std::uint8_t>;

// A read past the end of the bytes at hand.
class TruncatedInput : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class WireWriter {
 public:
  WireWriter& u8(std::uint8_t value);
  WireWriter& u32(std::uint32_t value);
  WireWriter& u64(std::uint64_t value);
  WireWriter& text(std::string_view value);
  WireWriter& buffer(const Bytes& value);  // u32 count, then the bytes (also nested streams)
  WireWriter& raw(const Bytes& value);     // the bytes alone
  const Bytes& bytes() const { return m_bytes; }
  Bytes take() { return std::move(m_bytes); }

 private:
  Bytes m_bytes;
};

class WireReader {
 public:
  explicit WireReader(const Bytes& bytes) : m_data(bytes.data()), m_size(bytes.size()) {}
  WireReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

  std::uint8_t u8();
  std::uint32_t u32();
  std::uint64_t u64();
  std::string text();
  Bytes buffer();
  std::array<std::uint8_t, 16> guid();  // a buffer that must hold exactly 16 bytes
  std::size_t remaining() const { return m_size - m_offset; }
  std::size_t consumed() const { return m_offset; }

 private:
  const std::uint8_t* take(std::size_t count);

  const std::uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_offset = 0;
};

// The envelope of every request and response.
struct Envelope {
  std::uint32_t status = 0;
  std::uint32_t function = 0;
  std::uint32_t paramCount = 0;
  Bytes params;
  Bytes result;
};

Bytes encode(const Envelope& envelope);

// The envelope at the head of `bytes` and how many bytes it took, or nullopt when the bytes
// end before the envelope does (more must be read).
std::optional<std::pair<Envelope, std::size_t>> try_decode(const Bytes& bytes);


// Hexadecimal text of bytes ("0a ff") and back (blanks, colons and a 0x prefix are allowed).
std::string to_hex(const Bytes& bytes);
Bytes from_hex(std::string_view text);

}  // namespace conduit::host
