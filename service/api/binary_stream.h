// The byte stream that every request and response of the remote API is serialised with.
//
// Writing appends at the end, reading consumes from the front; the two positions are
// independent, and GetSize() counts every byte written whatever has been read. Items carry
// no tags, alignment or end markers; integers are little-endian:
//
//   u8                 1 byte
//   u32 / u64          4 / 8 bytes
//   text               n (u32) | n bytes of UTF-8, no terminator (n = 0: nothing follows)
//   raw buffer         n (u32) | n bytes
//   nested stream      n (u32) | the nested stream's whole content
//
// Failures are standard exceptions: "Error: data NULL or Len 0\n" for a null or empty
// writebytes/readbytes, "Reading from Stream Failed" when fewer bytes remain than an item
// needs (a declared length included), "Wrting to Stream Failed" when the content cannot
// grow. Each operation logs what passes through it at level 3 under its qualified name and
// passes it on. GetSize and GetBuffer never throw.
//
// A stream is a plain value owned by one request on one thread; nothing is shared.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "windef.h"

class BinaryStream {
 public:
  BinaryStream() = default;
  // A copy of `length` bytes; a null pointer or zero length gives an empty stream.
  BinaryStream(const void* data, std::size_t length);

  void writebytes(const void* data, std::size_t length);
  void readbytes(void* data, std::size_t length);

  BinaryStream& operator<<(UINT32 value);
  BinaryStream& operator<<(ULONGLONG value);
  BinaryStream& operator<<(const std::string& text);
  BinaryStream& operator<<(const BinaryStream& nested);

  BinaryStream& operator>>(UINT8& value);
  BinaryStream& operator>>(UINT32& value);
  BinaryStream& operator>>(ULONGLONG& value);
  // An empty text on the wire leaves `text` as it was; callers pass empty texts.
  BinaryStream& operator>>(std::string& text);
  // Appends the nested stream's bytes to `nested`.
  BinaryStream& operator>>(BinaryStream& nested);

  // Appends a raw buffer: the count, then the bytes (only the count for null or 0).
  void WriteBuffer(const void* data, UINT32 length);

  UINT32 GetSize() const;
  // A heap copy of the whole content (GetSize() bytes); the read position stays where it
  // was. Null when the copy cannot be made.
  std::shared_ptr<char[]> GetBuffer() const;

  // Bytes written but not yet read.
  std::size_t GetRemainingSize() const;

 private:
  std::vector<char> m_bytes;
  std::size_t m_readPosition = 0;
};

// The text side of the same items: `text << stream` reads a text from the stream,
// `text >> stream` writes it.
std::string& operator<<(std::string& text, BinaryStream& stream);
const std::string& operator>>(const std::string& text, BinaryStream& stream);
