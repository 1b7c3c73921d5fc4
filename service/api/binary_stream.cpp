#include "binary_stream.h"

#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "log_writer.h"
#include "logged_call.h"


// Integers go on the wire as their in-memory bytes, which the protocol defines as
// little-endian.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr const char* kNullOrEmpty = "Error: data NULL or Len 0\n";
constexpr const char* kReadFailed = "Reading from Stream Failed";
constexpr const char* kWriteFailed = "Wrting to Stream Failed";

template <typename Value>
void ReadValue(BinaryStream& stream, Value& value) {
  stream.readbytes(&value, sizeof(value));
}

// The length a text or nested stream declares, checked against the bytes that remain before
// anything is allocated for it: it comes from the peer, and a few bytes must not make the
// service reserve gigabytes.
UINT32 ReadDeclaredLength(BinaryStream& stream) {
  UINT32 length = 0;
  ReadValue(stream, length);
  if (length > stream.GetRemainingSize()) {
    throw std::runtime_error(kReadFailed);
  }
  return length;
}

template <typename Value>
void WriteValue(BinaryStream& stream, Value value) {
  stream.writebytes(&value, sizeof(value));
}

}  // namespace

BinaryStream::BinaryStream(const void* data, std::size_t length) {
  if (data != nullptr && length != 0) {
    writebytes(data, length);
  }
}

void BinaryStream::writebytes(const void* data, std::size_t length) {
  LoggedCall("BinaryStream::writebytes", [&] {
    if (data == nullptr || length == 0) {
      throw std::invalid_argument(kNullOrEmpty);
    }
    // Every length on the wire is a u32: content beyond that would be framed with a
    // wrapped count and corrupt everything after it.
    if (length > std::numeric_limits<UINT32>::max() - m_bytes.size()) {
      throw std::runtime_error(kWriteFailed);
    }
    try {
      const char* bytes = static_cast<const char*>(data);
      m_bytes.insert(m_bytes.end(), bytes, bytes + length);
    } catch (const std::bad_alloc&) {
      throw std::runtime_error(kWriteFailed);
    } catch (const std::length_error&) {
      throw std::runtime_error(kWriteFailed);
    }
  });
}

void BinaryStream::readbytes(void* data, std::size_t length) {
  LoggedCall("BinaryStream::readbytes", [&] {
    if (data == nullptr || length == 0) {
      throw std::invalid_argument(kNullOrEmpty);
    }
    if (length > GetRemainingSize()) {
      throw std::runtime_error(kReadFailed);
    }
    std::memcpy(data, m_bytes.data() + m_readPosition, length);
    m_readPosition += length;
  });
}

BinaryStream& BinaryStream::operator<<(UINT32 value) {
  LoggedCall("BinaryStream::operator <<", [&] { WriteValue(*this, value); });
  return *this;
}

BinaryStream& BinaryStream::operator<<(ULONGLONG value) {
  LoggedCall("BinaryStream::operator <<", [&] { WriteValue(*this, value); });
  return *this;
}

BinaryStream& BinaryStream::operator<<(const std::string& text) {
  LoggedCall("BinaryStream::operator <<", [&] {
    // A text longer than a u32 can count would be sent with a wrapped length.
    if (text.size() > std::numeric_limits<UINT32>::max()) {
      throw std::runtime_error(kWriteFailed);
    }
    WriteValue(*this, static_cast<UINT32>(text.size()));
    if (!text.empty()) {
      writebytes(text.data(), text.size());
    }
  });
  return *this;
}

BinaryStream& BinaryStream::operator<<(const BinaryStream& nested) {
  LoggedCall("BinaryStream::operator <<", [&] {
    const UINT32 size = nested.GetSize();
    // Taken before the count is appended, so that a stream can nest a copy of itself.
    std::shared_ptr<char[]> content = size > 0 ? nested.GetBuffer() : nullptr;
    if (size > 0 && !content) {
      throw std::runtime_error(kWriteFailed);
    }
    WriteValue(*this, size);
    if (size > 0) {
      writebytes(content.get(), size);
    }
  });
  return *this;
}

BinaryStream& BinaryStream::operator>>(UINT8& value) {
  LoggedCall("BinaryStream::operator >>", [&] { ReadValue(*this, value); });
  return *this;
}

BinaryStream& BinaryStream::operator>>(UINT32& value) {
  LoggedCall("BinaryStream::operator >>", [&] { ReadValue(*this, value); });
  return *this;
}

BinaryStream& BinaryStream::operator>>(ULONGLONG& value) {
  LoggedCall("BinaryStream::operator >>", [&] { ReadValue(*this, value); });
  return *this;
}

BinaryStream& BinaryStream::operator>>(std::string& text) {
  LoggedCall("BinaryStream::operator >>", [&] {
    const UINT32 length = ReadDeclaredLength(*this);
    if (length == 0) {
      return;
    }
    std::string tmp;
    try {
      tmp.assign(length, '\0');
    } catch (const std::bad_alloc&) {
      WriteLog(LOG_ERROR, "Error: tmp.data() contains null\n");
      throw;
    }
    readbytes(tmp.data(), length);
    text = std::move(tmp);
  });
  return *this;
}

BinaryStream& BinaryStream::operator>>(BinaryStream& nested) {
  LoggedCall("BinaryStream::operator >>", [&] {
    const UINT32 length = ReadDeclaredLength(*this);
    if (length == 0) {
      return;
    }
    std::unique_ptr<char[]> bufRead;
    try {
      bufRead = std::make_unique_for_overwrite<char[]>(length);
    } catch (const std::bad_alloc&) {
      WriteLog(LOG_ERROR, "Error: bufRead.get() returns null\n");
      throw;
    }
    readbytes(bufRead.get(), length);
    nested.writebytes(bufRead.get(), length);
  });
  return *this;
}

void BinaryStream::WriteBuffer(const void* data, UINT32 length) {
  LoggedCall("BinaryStream::WriteBuffer", [&] {
    if (data == nullptr || length == 0) {
      WriteValue(*this, UINT32{0});
      return;
    }
    WriteValue(*this, length);
    writebytes(data, length);
  });
}

UINT32 BinaryStream::GetSize() const {
  // writebytes keeps the content within a u32, so the count is exact.
  return static_cast<UINT32>(m_bytes.size());
}

std::shared_ptr<char[]> BinaryStream::GetBuffer() const {
  try {
    std::shared_ptr<char[]> copy(new char[m_bytes.size()]);
    if (!m_bytes.empty()) {
      std::memcpy(copy.get(), m_bytes.data(), m_bytes.size());
    }
    return copy;
  } catch (const std::exception& e) {
    LogStandardException("BinaryStream::GetBuffer", e);
  } catch (...) {
    LogGenericException("BinaryStream::GetBuffer");
  }
  return nullptr;
}

std::size_t BinaryStream::GetRemainingSize() const { return m_bytes.size() - m_readPosition; }

std::string& operator<<(std::string& text, BinaryStream& stream) {
  stream >> text;
  return text;
}

const std::string& operator>>(const std::string& text, BinaryStream& stream) {
  stream << text;
  return text;
}
