// Little-endian records: integers in their own width, texts as a 32-bit
// count of UTF-16 units followed by the units, raw bytes. Written to a
// buffer; read from memory or from any source of bytes, where the first
// failure sticks and every later read does nothing and yields zeros.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/wintypes.h"

namespace platform {

class LittleEndianWriter {
 public:
  template <class Number>
  void number(Number value) {
    const auto bits = static_cast<std::make_unsigned_t<Number>>(value);
    for (std::size_t i = 0; i < sizeof(Number); ++i) bytes_.push_back(static_cast<BYTE>(bits >> (8 * i)));
  }
  void text(std::u16string_view units) {
    number(static_cast<DWORD>(units.size()));
    for (char16_t unit : units) number(static_cast<WORD>(unit));
  }
  // Byte by byte: a range insert would bring in a process-unique symbol of
  // the standard library, which keeps a loadable module that writes records
  // from being unloaded.
  void raw(const void* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) bytes_.push_back(static_cast<const BYTE*>(data)[i]);
  }
  std::vector<BYTE> take() { return std::move(bytes_); }

 private:
  std::vector<BYTE> bytes_;
};

// `Source` has bool read(BYTE* data, std::size_t size): all `size` bytes, or
// false.
template <class Source>
class LittleEndianReader {
 public:
  explicit LittleEndianReader(Source source) : source_(std::move(source)) {}

  bool ok() const { return ok_; }
  void fail() { ok_ = false; }

  bool raw(BYTE* data, std::size_t size) {
    if (ok_ && !source_.read(data, size)) ok_ = false;
    return ok_;
  }
  template <class Number>
  Number number() {
    BYTE bytes[sizeof(Number)] = {};
    std::make_unsigned_t<Number> bits = 0;
    if (raw(bytes, sizeof bytes))
      for (std::size_t i = 0; i < sizeof(Number); ++i) bits |= static_cast<decltype(bits)>(bytes[i]) << (8 * i);
    return static_cast<Number>(bits);
  }
  // `count` units, read in pieces: a count larger than the data costs no
  // more memory than the data.
  std::u16string units(DWORD count) {
    constexpr DWORD kPiece = 4096;
    std::u16string value;
    BYTE piece[2 * kPiece];
    while (count > 0) {
      const DWORD size = count < kPiece ? count : kPiece;
      if (!raw(piece, 2 * std::size_t{size})) return {};
      for (DWORD i = 0; i < size; ++i) value += static_cast<char16_t>(piece[2 * i] | (piece[2 * i + 1] << 8));
      count -= size;
    }
    return value;
  }
  std::u16string text() { return units(number<DWORD>()); }

 protected:
  Source& source() { return source_; }
  const Source& source() const { return source_; }

 private:
  Source source_;
  bool ok_ = true;
};

// Bytes in memory that outlive the reader.
class MemoryBytes {
 public:
  MemoryBytes(const BYTE* bytes, std::size_t size) : bytes_(bytes), size_(size) {}
  bool read(BYTE* data, std::size_t size) {
    if (size > remaining()) return false;
    if (size > 0) std::memcpy(data, bytes_ + at_, size);
    at_ += size;
    return true;
  }
  // The next `size` bytes where they lie; the caller checked remaining().
  const BYTE* take(std::size_t size) { return bytes_ + std::exchange(at_, at_ + size); }
  std::size_t remaining() const { return size_ - at_; }

 private:
  const BYTE* bytes_;
  std::size_t size_;
  std::size_t at_ = 0;
};

class MemoryReader : public LittleEndianReader<MemoryBytes> {
 public:
  MemoryReader(const BYTE* bytes, std::size_t size) : LittleEndianReader(MemoryBytes(bytes, size)) {}
  explicit MemoryReader(const std::vector<BYTE>& bytes) : MemoryReader(bytes.data(), bytes.size()) {}

  // The next `size` bytes in place, without copying; null after a failure.
  const BYTE* bytes(std::size_t size) {
    if (!ok() || size > remaining()) {
      fail();
      return nullptr;
    }
    return source().take(size);
  }
  std::size_t remaining() const { return source().remaining(); }
  bool atEnd() const { return ok() && remaining() == 0; }
};

}  // namespace platform
