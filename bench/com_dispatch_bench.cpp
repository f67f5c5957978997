// Cost of a late-bound call through the model-driven dispatch: name lookup,
// a property get, and a method taking text and returning text.
#include <benchmark/benchmark.h>

#include "platform/dispatch.h"
#include "platform/typelib.h"

namespace {

using platform::ComPtr;

constexpr IID IID_ICounter{0x7A1B2C30, 0x3333, 0x4C4D, {0x9E, 0x03, 0x12, 0x22, 0x32, 0x42, 0x52, 0x62}};

class Counter {
 public:
  HRESULT getValue(LONG* value) {
    *value = value_;
    return S_OK;
  }
  HRESULT putValue(LONG value) {
    value_ = value;
    return S_OK;
  }
  HRESULT echo(BSTR text, BSTR* result) {
    *result = SysAllocStringLen(text, SysStringLen(text));
    return S_OK;
  }

 private:
  LONG value_ = 7;
};

const platform::DispatchBinding<Counter>& binding() {
  static const platform::DispatchBinding<Counter> binding = [] {
    auto library = std::make_shared<platform::LibraryModel>();
    library->name = u"Bench";
    library->libid = GUID{0x7A1B2C31, 0x3333, 0x4C4D, {0x9E, 0x03, 0x12, 0x22, 0x32, 0x42, 0x52, 0x62}};
    platform::TypeModel counter{TKIND_DISPATCH, u"ICounter", IID_ICounter, {}, TYPEFLAG_FDUAL, {}, {}, {}};
    counter.members = {
        {u"Value", 1, INVOKE_PROPERTYGET, {{u"Value", VT_I4, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, {}}}, 0, {}},
        {u"Value", 1, INVOKE_PROPERTYPUT, {{{}, VT_I4, PARAMFLAG_FIN, {}}}, 0, {}},
        {u"Echo", 2, INVOKE_FUNC,
         {{u"text", VT_BSTR, PARAMFLAG_FIN, {}}, {u"result", VT_BSTR, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, {}}}, 0, {}},
    };
    library->types = {counter};
    ComPtr<ITypeLib> typeLib;
    ComPtr<ITypeInfo> info;
    platform::createTypeLib(library, typeLib.put());
    typeLib->GetTypeInfoOfGuid(IID_ICounter, info.put());
    return platform::DispatchBinding<Counter>(info.get(), &Counter::getValue, &Counter::putValue, &Counter::echo);
  }();
  return binding;
}

void NameLookup(benchmark::State& state) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"echo"), const_cast<LPOLESTR>(u"TEXT")};
  DISPID ids[2];
  for (auto _ : state) benchmark::DoNotOptimize(binding().getIDsOfNames(IID_NULL, names, 2, 0, ids));
}
BENCHMARK(NameLookup);

void PropertyGet(benchmark::State& state) {
  Counter counter;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  for (auto _ : state) {
    binding().invoke(&counter, 1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
    benchmark::DoNotOptimize(result.lVal);
  }
}
BENCHMARK(PropertyGet);

void MethodWithText(benchmark::State& state) {
  Counter counter;
  VARIANT argument;
  VariantInit(&argument);
  argument.vt = VT_BSTR;
  argument.bstrVal = SysAllocString(u"Microsoft Enhanced Cryptographic Provider v1.0");
  DISPPARAMS params{&argument, nullptr, 1, 0};
  VARIANT result;
  VariantInit(&result);
  for (auto _ : state) {
    binding().invoke(&counter, 2, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
    VariantClear(&result);
  }
  VariantClear(&argument);
}
BENCHMARK(MethodWithText);

}  // namespace

BENCHMARK_MAIN();
