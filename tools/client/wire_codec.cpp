#include "wire_codec.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace conduit::host {

WireWriter& WireWriter::u8(std::uint8_t value) {
  m_bytes.push_back(value);
  return *this;
}

WireWriter& WireWriter::u32(std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) m_bytes.push_back(static_cast<std::uint8_t>(value >> shift));
  return *this;
}

WireWriter& WireWriter::u64(std::uint64_t value) {
  for (int shift = 0; shift < 64; shift += 8) m_bytes.push_back(static_cast<std::uint8_t>(value >> shift));
  return *this;
}

WireWriter& WireWriter::text(std::string_view value) {
  u32(static_cast<std::uint32_t>(value.size()));
  m_bytes.insert(m_bytes.end(), value.begin(), value.end());
  return *this;
}

WireWriter& WireWriter::buffer(const Bytes& value) {
  u32(static_cast<std::uint32_t>(value.size()));
  return raw(value);
}

WireWriter& WireWriter::raw(const Bytes& value) {
  m_bytes.insert(m_bytes.end(), value.begin(), value.end());
  return *this;
}

const std::uint8_t* WireReader::take(std::size_t count) {
  if (count > remaining()) {
    throw TruncatedInput("needs " + std::to_string(count) + " bytes, " + std::to_string(remaining()) + " left");
  }
  const std::uint8_t* at = m_data + m_offset;
  m_offset += count;
  return at;
}

std::uint8_t WireReader::u8() { return *take(1); }

std::uint32_t WireReader::u32() {
  const std::uint8_t* p = take(4);
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint64_t WireReader::u64() {
  std::uint64_t low = u32();
  std::uint64_t high = u32();
  return low | high << 32;
}

std::string WireReader::text() {
  std::uint32_t count = u32();
  const std::uint8_t* p = take(count);
  return std::string(reinterpret_cast<const char*>(p), count);
}

Bytes WireReader::buffer() {
  std::uint32_t count = u32();
  const std::uint8_t* p = take(count);
  return Bytes(p, p + count);
}

std::array<std::uint8_t, 16> WireReader::guid() {
  std::uint32_t count = u32();
  if (count != 16) throw std::runtime_error("GUID item of " + std::to_string(count) + " bytes");
  std::array<std::uint8_t, 16> out{};
  std::memcpy(out.data(), take(16), 16);
  return out;
}

Bytes encode(const Envelope& envelope) {
  WireWriter writer;
  writer.u32(envelope.status).u32(envelope.function).u32(envelope.paramCount);
  writer.buffer(envelope.params).buffer(envelope.result);
  return writer.take();
}

std::optional<std::pair<Envelope, std::size_t>> try_decode(const Bytes& bytes) {
  try {
    WireReader reader(bytes);
    Envelope envelope;
    envelope.status = reader.u32();
    envelope.function = reader.u32();
    envelope.paramCount = reader.u32();
    envelope.params = reader.buffer();
    envelope.result = reader.buffer();
    return std::make_pair(std::move(envelope), reader.consumed());
  } catch (const TruncatedInput&) {
    return std::nullopt;
  }
}

std::string to_hex(const Bytes& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) out.push_back(' ');
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 0xf]);
  }
  return out;
}

Bytes from_hex(std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  Bytes out;
  int pending = -1;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '\t' || c == '\n' || c == ',') continue;
    int value;
    if (c >= '0' && c <= '9') {
      value = c - '0';
    } else if (std::isxdigit(static_cast<unsigned char>(c))) {
      value = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    } else {
      throw std::invalid_argument(std::string("not a hexadecimal digit: '") + c + "'");
    }
    if (pending < 0) {
      pending = value;
    } else {
      out.push_back(static_cast<std::uint8_t>(pending << 4 | value));
      pending = -1;
    }
  }
  if (pending >= 0) throw std::invalid_argument("odd number of hexadecimal digits");
  return out;
}

}  // namespace conduit::host
