// IDispatch::Invoke of the control with arbitrary members, flags and
// arguments, the way a careless script host might call it.
//
// Each input is a short series of calls on a new control: a DISPID (one of
// the interface's, a reserved one, or any number), a flags word, up to five
// arguments, some of them named, each a VARIANT of any type the runtime
// knows (and some it does not), by value or by reference, and whether a
// result, exception information and an argument index are asked for. The
// caller's side is then released as the calling conventions say (by-value
// arguments cleared, by-reference slots freed with what the callee left in
// them), so a callee that frees or keeps what it does not own shows up as a
// double free or a leak. When the control is released no object of the
// module may stay alive.
//
// Key generation is kept fast: an input starts with a key size that request
// generation refuses, or with 512 bits, and a valid size set through kSize
// is turned into 512 bits right after the call.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "control/itarvenholmx.h"
#include "control/module_state.h"
#include "engine/settings.h"
#include "fuzz_support.h"
#include "platform/comptr.h"
#include "platform/dispatch.h"
#include "platform/ocidl.h"
#include "platform/oleauto.h"
#include "support/errors.h"

namespace {

using fuzzing::check;
using platform::ComPtr;

constexpr std::int32_t kRefusedKeySize = 4096;
constexpr std::int32_t kQuickKeySize = 512;

constexpr std::array<DISPID, 34> kMembers = {
    tarvenholm::dispid::Visible,       tarvenholm::dispid::AutoScroll,     tarvenholm::dispid::AutoSize,
    tarvenholm::dispid::AxBorderStyle, tarvenholm::dispid::BorderWidth,    tarvenholm::dispid::Caption,
    tarvenholm::dispid::Color,         tarvenholm::dispid::Font,           tarvenholm::dispid::KeyPreview,
    tarvenholm::dispid::PixelsPerInch, tarvenholm::dispid::PrintScale,     tarvenholm::dispid::Scaled,
    tarvenholm::dispid::Active,        tarvenholm::dispid::DropTarget,     tarvenholm::dispid::HelpFile,
    tarvenholm::dispid::DoubleBuffered, tarvenholm::dispid::VisibleDockClientCount,
    tarvenholm::dispid::Enabled,       tarvenholm::dispid::Cursor,         tarvenholm::dispid::getCSPList,
    tarvenholm::dispid::kSize,         tarvenholm::dispid::provName,       tarvenholm::dispid::genReq,
    tarvenholm::dispid::msgLng,        tarvenholm::dispid::setCert,        DISPID_VALUE,
    DISPID_UNKNOWN,                    DISPID_PROPERTYPUT,                 DISPID_NEWENUM,
    DISPID_EVALUATE,                   DISPID_CONSTRUCTOR,                 DISPID_DESTRUCTOR,
    22,                                0x7FFFFFFF,
};

// Types that a VARIANT may carry by value: every one the runtime knows,
// some it refuses, and array forms (never with a real array behind them).
constexpr std::array<VARTYPE, 24> kValueTypes = {
    VT_EMPTY, VT_NULL,   VT_I2,      VT_I4,      VT_R4,           VT_R8,          VT_CY,   VT_DATE,
    VT_BSTR,  VT_DISPATCH, VT_ERROR, VT_BOOL,    VT_VARIANT,      VT_UNKNOWN,     VT_I1,   VT_UI1,
    VT_UI2,   VT_UI4,    VT_INT,     VT_UINT,    VT_VOID,         VT_HRESULT,     VT_ARRAY | VT_I4,
    VT_ARRAY | VT_BSTR,
};

// Types that may stand behind VT_BYREF; each has a slot of its own.
constexpr std::array<VARTYPE, 16> kReferenceTypes = {
    VT_I2,   VT_I4,    VT_R4,   VT_R8,  VT_CY,   VT_DATE, VT_BSTR, VT_DISPATCH,
    VT_ERROR, VT_BOOL, VT_VARIANT, VT_UNKNOWN, VT_I1, VT_UI1, VT_UI2, VT_UI4,
};

// The objects an argument can carry: nothing, the control itself, a font.
struct Objects {
  IDispatch* control = nullptr;
  IDispatch* font = nullptr;

  IDispatch* pick(FuzzedDataProvider& input) const {
    switch (input.ConsumeIntegralInRange(0, 2)) {
      case 0:
        return nullptr;
      case 1:
        return control;
      default:
        return font;
    }
  }
};

BSTR textFrom(FuzzedDataProvider& input) {
  if (input.ConsumeIntegralInRange(0, 7) == 0) return nullptr;
  const std::string bytes = input.ConsumeRandomLengthString(256);
  // Pairs of bytes as UTF-16 units, unpaired surrogates and zeros included.
  std::u16string units;
  for (std::size_t at = 0; at + 1 < bytes.size(); at += 2)
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[at]) |
                                          static_cast<unsigned char>(bytes[at + 1]) << 8));
  if (input.ConsumeBool()) {
    // Mostly readable text, so that names strings and base64 get a chance.
    units.clear();
    for (const char c : bytes) units.push_back(static_cast<unsigned char>(c));
  }
  return SysAllocStringLen(units.data(), static_cast<UINT>(units.size()));
}

// Fills the value of `variant` for `type` (by value); owned parts are the
// variant's own.
void fillValue(VARIANT& variant, VARTYPE type, FuzzedDataProvider& input, const Objects& objects) {
  VariantInit(&variant);
  variant.vt = type;
  switch (type) {
    case VT_BSTR:
      variant.bstrVal = textFrom(input);
      break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
      variant.pdispVal = objects.pick(input);
      if (variant.pdispVal != nullptr) variant.pdispVal->AddRef();
      break;
    case VT_ARRAY | VT_I4:
    case VT_ARRAY | VT_BSTR:
      variant.byref = nullptr;
      break;
    default:
      variant.llVal = input.ConsumeIntegral<std::int64_t>();
      break;
  }
}

// The storage behind one by-reference argument. The caller owns what it
// holds before and after the call.
struct Slot {
  VARTYPE type = VT_EMPTY;
  VARIANT storage;  // the value; for VT_VARIANT, the referenced variant itself

  void release() {
    switch (type) {
      case VT_BSTR:
        SysFreeString(storage.bstrVal);
        break;
      case VT_DISPATCH:
      case VT_UNKNOWN:
        if (storage.punkVal != nullptr) storage.punkVal->Release();
        break;
      case VT_VARIANT:
        VariantClear(&storage);
        break;
      default:
        break;
    }
    type = VT_EMPTY;
  }
};

struct Call {
  std::vector<VARIANT> arguments;  // last first, as Invoke takes them
  std::vector<DISPID> names;
  std::array<Slot, 5> slots{};

  ~Call() {
    for (VARIANT& argument : arguments)
      if ((argument.vt & VT_BYREF) == 0) VariantClear(&argument);
    for (Slot& slot : slots) slot.release();
  }
};

void fillArgument(Call& call, std::size_t index, FuzzedDataProvider& input, const Objects& objects) {
  VARIANT& argument = call.arguments[index];
  VariantInit(&argument);
  switch (input.ConsumeIntegralInRange(0, 5)) {
    case 0: {
      // By reference to a slot of the argument's own.
      Slot& slot = call.slots[index];
      slot.type = input.PickValueInArray(kReferenceTypes);
      fillValue(slot.storage, slot.type == VT_VARIANT ? input.PickValueInArray(kValueTypes) : slot.type, input,
                objects);
      argument.vt = static_cast<VARTYPE>(VT_BYREF | slot.type);
      argument.byref = slot.type == VT_VARIANT ? static_cast<void*>(&slot.storage) : &slot.storage.llVal;
      break;
    }
    case 1:
      // Any type word at all, with no value the callee may follow.
      argument.vt = input.ConsumeIntegral<VARTYPE>() & static_cast<VARTYPE>(~VT_BYREF);
      if ((argument.vt & VT_TYPEMASK) == VT_BSTR || (argument.vt & VT_TYPEMASK) == VT_DISPATCH ||
          (argument.vt & VT_TYPEMASK) == VT_UNKNOWN || (argument.vt & VT_ARRAY) != 0)
        argument.byref = nullptr;
      else
        argument.llVal = input.ConsumeIntegral<std::int64_t>();
      break;
    default:
      fillValue(argument, input.PickValueInArray(kValueTypes), input, objects);
      break;
  }
}

std::vector<DISPID> namedArguments(FuzzedDataProvider& input, std::size_t count) {
  std::vector<DISPID> names;
  const std::size_t named = input.ConsumeIntegralInRange<std::size_t>(0, count);
  for (std::size_t i = 0; i < named; ++i) {
    switch (input.ConsumeIntegralInRange(0, 3)) {
      case 0:
        names.push_back(DISPID_PROPERTYPUT);
        break;
      case 1:
        names.push_back(static_cast<DISPID>(i));
        break;
      default:
        names.push_back(input.ConsumeIntegral<DISPID>());
        break;
    }
  }
  return names;
}

WORD flagsFrom(FuzzedDataProvider& input) {
  constexpr std::array<WORD, 7> usual = {DISPATCH_METHOD,
                                         DISPATCH_PROPERTYGET,
                                         DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                         DISPATCH_PROPERTYPUT,
                                         DISPATCH_PROPERTYPUTREF,
                                         DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF,
                                         0};
  return input.ConsumeBool() ? input.PickValueInArray(usual) : input.ConsumeIntegral<WORD>();
}

void invokeOnce(IDispatch* control, FuzzedDataProvider& input, const Objects& objects) {
  const DISPID member =
      input.ConsumeIntegralInRange(0, 9) == 0 ? input.ConsumeIntegral<DISPID>() : input.PickValueInArray(kMembers);
  const WORD flags = flagsFrom(input);
  const IID riid = input.ConsumeIntegralInRange(0, 15) == 0 ? IID_IDispatch : IID_NULL;
  const LCID lcid = input.ConsumeBool() ? 0 : input.ConsumeIntegral<LCID>();

  Call call;
  const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, call.slots.size());
  call.arguments.resize(count);
  for (std::size_t i = 0; i < count; ++i) fillArgument(call, i, input, objects);
  call.names = namedArguments(input, count);
  DISPPARAMS parameters{call.arguments.empty() ? nullptr : call.arguments.data(),
                        call.names.empty() ? nullptr : call.names.data(), static_cast<UINT>(call.arguments.size()),
                        static_cast<UINT>(call.names.size())};

  const bool wantResult = input.ConsumeBool();
  const bool wantException = input.ConsumeBool();
  const bool wantArgumentIndex = input.ConsumeBool();
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO exception{};
  UINT argumentIndex = 0xFFFFFFFF;
  control->Invoke(member, riid, lcid, flags, input.ConsumeIntegralInRange(0, 15) == 0 ? nullptr : &parameters,
                  wantResult ? &result : nullptr, wantException ? &exception : nullptr,
                  wantArgumentIndex ? &argumentIndex : nullptr);
  check(VariantClear(&result) == S_OK, "the result is a variant the caller can clear");
  platform::clearExcepInfo(&exception);

  const std::int32_t keySize = tarvenholm::keySizeSetting();
  if (keySize >= 768 && keySize <= 2048 && keySize % 256 == 0) tarvenholm::setKeySizeSetting(kQuickKeySize);
}

ComPtr<IDispatch> newFont() {
  FONTDESC description{sizeof(FONTDESC), const_cast<LPOLESTR>(u"Arial"), CY{}, 400, 0, FALSE, FALSE, FALSE};
  description.cySize.int64 = 120000;
  ComPtr<IDispatch> font;
  check(OleCreateFontIndirect(&description, IID_IDispatch, font.putVoid()) == S_OK, "a font");
  return font;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::useProcessHome();
  FuzzedDataProvider input(data, size);
  tarvenholm::resetSettings();
  tarvenholm::setKeySizeSetting(input.ConsumeBool() ? kQuickKeySize : kRefusedKeySize);
  tarvenholm::setMessageLanguage(tarvenholm::MessageLanguage::Spanish);
  {
    ComPtr<IClassFactory> factory;
    check(tarvenholm::keyGeneratorClassObject(IID_IClassFactory, factory.putVoid()) == S_OK, "the class factory");
    ComPtr<IDispatch> control;
    check(factory->CreateInstance(nullptr, IID_IDispatch, control.putVoid()) == S_OK, "a control");
    const ComPtr<IDispatch> font = newFont();
    const Objects objects{control.get(), font.get()};
    for (int calls = 0; calls < 8 && input.remaining_bytes() > 0; ++calls) invokeOnce(control.get(), input, objects);
  }
  check(tarvenholm::moduleLockCount() == 0, "no control outlives its last reference");
  return 0;
}
