#include "control/form.h"

namespace tarvenholm {
namespace {

// Character height in pixels to points, rounded to the nearest point.
LONGLONG pointsOfHeight(LONG height, LONG pixelsPerInch) {
  const LONGLONG pixels = height < 0 ? -static_cast<LONGLONG>(height) : height;
  return (pixels * 72 + pixelsPerInch / 2) / pixelsPerInch;
}

platform::FontState initialFont() {
  platform::FontState font;
  font.name = kInitialFontName;
  font.size.int64 = pointsOfHeight(kInitialFontHeight, kDesignPixelsPerInch) * 10000;
  font.weight = FW_NORMAL;
  font.charset = 1;  // the default character set
  return font;
}

}  // namespace

HRESULT createFont(const platform::FontState& state, platform::ComPtr<IFontDisp>& font) {
  std::u16string name = state.name;
  FONTDESC description{sizeof(FONTDESC), name.data(), state.size, state.weight, state.charset,
                       state.italic ? TRUE : FALSE, state.underline ? TRUE : FALSE, state.strikethrough ? TRUE : FALSE};
  platform::ComPtr<IFontDisp> created;
  const HRESULT result = OleCreateFontIndirect(&description, IID_IFontDisp, created.putVoid());
  if (SUCCEEDED(result)) font = std::move(created);
  return result;
}

TkeyGenerator::TkeyGenerator() { createFont(initialFont(), font_); }

HRESULT TkeyGenerator::reset() { return restore(FormImage{FormProperties{}, initialFont()}); }

HRESULT TkeyGenerator::capture(FormImage& image) const {
  if (!font_) return E_UNEXPECTED;
  image.properties = properties_;
  return platform::readFont(font_.get(), image.font);
}

HRESULT TkeyGenerator::restore(const FormImage& image) {
  platform::ComPtr<IFontDisp> font;
  const HRESULT created = createFont(image.font, font);
  if (FAILED(created)) return created;
  properties_ = image.properties;
  font_ = std::move(font);
  return S_OK;
}

void TkeyGenerator::raise(FormEvent event) {
  if (event == FormEvent::Activate) active_ = true;
  if (event == FormEvent::Deactivate) active_ = false;
  if (listener_ != nullptr) listener_->formEvent(event, nullptr);
}

SHORT TkeyGenerator::keyPress(SHORT key) {
  if (listener_ != nullptr) listener_->formEvent(FormEvent::KeyPress, &key);
  return key;
}

}  // namespace tarvenholm
