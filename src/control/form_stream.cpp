#include "control/form_stream.h"

#include <cstring>

#include "platform/little_endian.h"

namespace tarvenholm {
namespace {

constexpr BYTE kSignature[4] = {'T', 'K', 'G', 'F'};
constexpr WORD kFormatVersion = 1;

using platform::LittleEndianWriter;

void writeFlag(LittleEndianWriter& out, bool value) { out.number<BYTE>(value ? 1 : 0); }

// The stream's next bytes: all of them, or failure.
struct StreamBytes {
  IStream* stream;
  bool read(BYTE* data, std::size_t size) {
    ULONG got = 0;
    return SUCCEEDED(stream->Read(data, static_cast<ULONG>(size), &got)) && got == size;
  }
};

// Reads fields from a stream; the first failure, a short read or a value
// that is not this form's, sticks and later reads do nothing.
class Reader : public platform::LittleEndianReader<StreamBytes> {
 public:
  explicit Reader(IStream* stream) : LittleEndianReader(StreamBytes{stream}) {}

  HRESULT status() const { return invalid_ ? E_FAIL : ok() ? S_OK : STG_E_READFAULT; }
  bool flag() {
    const BYTE value = number<BYTE>();
    if (value > 1) invalid();
    return value == 1;
  }
  void invalid() {
    if (ok()) invalid_ = true;
    fail();
  }

 private:
  bool invalid_ = false;
};

}  // namespace

std::vector<BYTE> encodeFormImage(const FormImage& image) {
  const FormProperties& form = image.properties;
  LittleEndianWriter out;
  out.raw(kSignature, sizeof kSignature);
  out.number(kFormatVersion);
  writeFlag(out, form.visible);
  writeFlag(out, form.autoScroll);
  writeFlag(out, form.autoSize);
  out.number(static_cast<LONG>(form.axBorderStyle));
  out.number(form.borderWidth);
  out.text(form.caption);
  out.number(form.color);
  out.text(image.font.name);
  out.number(image.font.size.int64);
  out.number(image.font.weight);
  out.number(image.font.charset);
  writeFlag(out, image.font.italic);
  writeFlag(out, image.font.underline);
  writeFlag(out, image.font.strikethrough);
  writeFlag(out, form.keyPreview);
  out.number(form.pixelsPerInch);
  out.number(static_cast<LONG>(form.printScale));
  writeFlag(out, form.scaled);
  writeFlag(out, form.dropTarget);
  out.text(form.helpFile);
  writeFlag(out, form.doubleBuffered);
  writeFlag(out, form.enabled);
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
