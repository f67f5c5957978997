#include "control/form_stream.h"

#include <cstring>
#include <type_traits>

namespace tarvenholm {
namespace {

constexpr BYTE kSignature[4] = {'T', 'K', 'G', 'F'};
constexpr WORD kFormatVersion = 1;
// Texts are read in pieces of this many units.
constexpr ULONG kTextPiece = 4096;

class Writer {
 public:
  template <class Number>
  void number(Number value) {
    using Unsigned = std::make_unsigned_t<Number>;
    const auto bits = static_cast<Unsigned>(value);
    for (std::size_t i = 0; i < sizeof(Number); ++i) bytes_.push_back(static_cast<BYTE>(bits >> (8 * i)));
  }
  void flag(bool value) { bytes_.push_back(value ? 1 : 0); }
  void text(const std::u16string& value) {
    number(static_cast<DWORD>(value.size()));
    for (char16_t unit : value) number(static_cast<WORD>(unit));
  }
  // Byte by byte: a range insert would bring in a process-unique symbol of
  // the standard library, which keeps a module from being unloaded.
  void raw(const BYTE* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) bytes_.push_back(data[i]);
  }
  std::vector<BYTE> take() { return std::move(bytes_); }

 private:
  std::vector<BYTE> bytes_;
};

// Reads fields from a stream; the first failure sticks and later reads do nothing.
class Reader {
 public:
  explicit Reader(IStream* stream) : stream_(stream) {}

  HRESULT status() const { return status_; }

  bool raw(BYTE* data, ULONG size) {
    if (FAILED(status_)) return false;
    ULONG got = 0;
    const HRESULT read = stream_->Read(data, size, &got);
    if (FAILED(read) || got != size) status_ = STG_E_READFAULT;
    return SUCCEEDED(status_);
  }
  template <class Number>
  Number number() {
    BYTE bytes[sizeof(Number)] = {};
    std::make_unsigned_t<Number> bits = 0;
    if (raw(bytes, sizeof bytes))
      for (std::size_t i = 0; i < sizeof(Number); ++i) bits |= static_cast<decltype(bits)>(bytes[i]) << (8 * i);
    return static_cast<Number>(bits);
  }
  bool flag() {
    const BYTE value = number<BYTE>();
    if (value > 1) invalid();
    return value == 1;
  }
  std::u16string text() {
    DWORD remaining = number<DWORD>();
    std::u16string value;
    std::vector<BYTE> piece;
    while (remaining > 0 && SUCCEEDED(status_)) {
      const ULONG units = remaining < kTextPiece ? remaining : kTextPiece;
      piece.resize(units * 2);
      if (!raw(piece.data(), units * 2)) break;
      for (ULONG i = 0; i < units; ++i)
        value += static_cast<char16_t>(piece[2 * i] | (piece[2 * i + 1] << 8));
      remaining -= units;
    }
    return value;
  }
  void invalid() {
    if (SUCCEEDED(status_)) status_ = E_FAIL;
  }

 private:
  IStream* stream_;
  HRESULT status_ = S_OK;
};

}  // namespace

std::vector<BYTE> encodeFormImage(const FormImage& image) {
  const FormProperties& form = image.properties;
  Writer out;
  out.raw(kSignature, sizeof kSignature);
  out.number(kFormatVersion);
  out.flag(form.visible);
  out.flag(form.autoScroll);
  out.flag(form.autoSize);
  out.number(static_cast<LONG>(form.axBorderStyle));
  out.number(form.borderWidth);
  out.text(form.caption);
  out.number(form.color);
  out.text(image.font.name);
  out.number(image.font.size.int64);
  out.number(image.font.weight);
  out.number(image.font.charset);
  out.flag(image.font.italic);
  out.flag(image.font.underline);
  out.flag(image.font.strikethrough);
  out.flag(form.keyPreview);
  out.number(form.pixelsPerInch);
  out.number(static_cast<LONG>(form.printScale));
  out.flag(form.scaled);
  out.flag(form.dropTarget);
  out.text(form.helpFile);
  out.flag(form.doubleBuffered);
  out.flag(form.enabled);
  out.number(form.cursor);
  out.number(form.width);
  out.number(form.height);
  return out.take();
}

HRESULT readFormImage(IStream* stream, FormImage& image) {
  if (stream == nullptr) return E_POINTER;
  Reader in(stream);
  BYTE signature[sizeof kSignature] = {};
  if (in.raw(signature, sizeof signature) && std::memcmp(signature, kSignature, sizeof signature) != 0) in.invalid();
  if (in.number<WORD>() != kFormatVersion) in.invalid();
  FormImage read;
  FormProperties& form = read.properties;
  form.visible = in.flag();
  form.autoScroll = in.flag();
  form.autoSize = in.flag();
  form.axBorderStyle = static_cast<TxActiveFormBorderStyle>(in.number<LONG>());
  form.borderWidth = in.number<LONG>();
  form.caption = in.text();
  form.color = in.number<DWORD>();
  read.font.name = in.text();
  read.font.size.int64 = in.number<LONGLONG>();
  read.font.weight = in.number<SHORT>();
  read.font.charset = in.number<SHORT>();
  read.font.italic = in.flag();
  read.font.underline = in.flag();
  read.font.strikethrough = in.flag();
  read.font.bold = read.font.weight >= FW_BOLD;
  form.keyPreview = in.flag();
  form.pixelsPerInch = in.number<LONG>();
  form.printScale = static_cast<TxPrintScale>(in.number<LONG>());
  form.scaled = in.flag();
  form.dropTarget = in.flag();
  form.helpFile = in.text();
  form.doubleBuffered = in.flag();
  form.enabled = in.flag();
  form.cursor = in.number<SHORT>();
  form.width = in.number<LONG>();
  form.height = in.number<LONG>();
  if (FAILED(in.status())) return in.status();
  image = std::move(read);
  return S_OK;
}

}  // namespace tarvenholm
