// TkeyGenerator: the control's form. There is no window system here, so the
// form is a holder of the standard form properties that the automation
// interface passes through, plus the events a form raises. It carries no
// content of its own: an empty panel of 173 by 37 pixels.
#pragma once

#include <string>

#include "control/itarvenholmx.h"
#include "platform/comptr.h"
#include "platform/ocidl.h"

namespace tarvenholm {

// The button-face system colour, as an OLE_COLOR naming a system colour.
constexpr OLE_COLOR kButtonFaceColor = 0x8000000F;
// The resolution at which the form was designed and at which extents are
// converted to the hundredths of a millimetre that containers use.
constexpr LONG kDesignPixelsPerInch = 96;

// What the form holds besides its font, with the values it starts with.
struct FormProperties {
  bool visible = true;
  bool autoScroll = false;
  bool autoSize = false;
  TxActiveFormBorderStyle axBorderStyle = afbNone;
  LONG borderWidth = 0;
  std::u16string caption = u"Tarvenholm";
  OLE_COLOR color = kButtonFaceColor;
  bool keyPreview = false;
  LONG pixelsPerInch = kDesignPixelsPerInch;
  TxPrintScale printScale = poProportional;
  bool scaled = true;
  bool dropTarget = false;
  std::u16string helpFile;
  bool doubleBuffered = false;
  bool enabled = true;
  SHORT cursor = 0;
  LONG width = 173;  // pixels
  LONG height = 37;
};

// The font the form starts with: "MS Sans Serif" of height -11 at 96 pixels
// per inch, which is 8 points (a font object holds points, not pixels).
constexpr char16_t kInitialFontName[] = u"MS Sans Serif";
constexpr LONG kInitialFontHeight = -11;

// A description of the form as persisted: its properties and its font.
struct FormImage {
  FormProperties properties;
  platform::FontState font;
};

enum class FormEvent { Activate, Click, Create, DblClick, Destroy, Deactivate, KeyPress, Paint };

// Told of every event the form raises.
class FormEventListener {
 public:
  // `key` is the key of KeyPress (which the listener may change), else null.
  virtual void formEvent(FormEvent event, SHORT* key) = 0;

 protected:
  ~FormEventListener() = default;
};

class TkeyGenerator {
 public:
  // A form with its initial properties and font. Without memory for the
  // font, font() is null until reset() or restore() succeeds.
  TkeyGenerator();
  TkeyGenerator(const TkeyGenerator&) = delete;
  TkeyGenerator& operator=(const TkeyGenerator&) = delete;

  FormProperties& properties() { return properties_; }
  const FormProperties& properties() const { return properties_; }

  IFontDisp* font() const { return font_.get(); }
  void setFont(platform::ComPtr<IFontDisp> font) { font_ = std::move(font); }

  // Runtime state, not persisted: the form is active between the Activate
  // and Deactivate events; it has no dock clients.
  bool active() const { return active_; }
  LONG visibleDockClientCount() const { return 0; }

  // Back to the initial properties and a new initial font.
  HRESULT reset();
  // The persisted description, reading the font through its interface.
  HRESULT capture(FormImage& image) const;
  // Takes a persisted description, with a new font object made from it;
  // nothing changes when the font cannot be made.
  HRESULT restore(const FormImage& image);

  // Events reach the listener (the control object) in the order raised.
  void setListener(FormEventListener* listener) { listener_ = listener; }
  void raise(FormEvent event);
  // Raises KeyPress; returns the key as the listener left it.
  SHORT keyPress(SHORT key);

 private:
  FormProperties properties_;
  platform::ComPtr<IFontDisp> font_;
  bool active_ = false;
  FormEventListener* listener_ = nullptr;
};

// A new font object with the given description.
HRESULT createFont(const platform::FontState& state, platform::ComPtr<IFontDisp>& font);

}  // namespace tarvenholm
