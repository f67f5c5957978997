#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/combase.h"
#include "platform/comptr.h"
#include "platform/dispatch.h"
#include "platform/objsafe.h"
#include "platform/ocidl.h"
#include "platform/oletext.h"

namespace {

using platform::ComPtr;

std::string readAll(IStream* stream) {
  LARGE_INTEGER start{0};
  EXPECT_EQ(stream->Seek(start, STREAM_SEEK_SET, nullptr), S_OK);
  std::string result;
  char buffer[7];
  ULONG got = 0;
  do {
    EXPECT_EQ(stream->Read(buffer, sizeof buffer, &got), S_OK);
    result.append(buffer, got);
  } while (got == sizeof buffer);
  return result;
}

TEST(MemoryStream, WritesSeeksReadsAndClones) {
  ComPtr<IStream> stream;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
  ULONG written = 0;
  ASSERT_EQ(stream->Write("hello world", 11, &written), S_OK);
  EXPECT_EQ(written, 11u);
  LARGE_INTEGER back{-5};
  ULARGE_INTEGER position{};
  ASSERT_EQ(stream->Seek(back, STREAM_SEEK_CUR, &position), S_OK);
  EXPECT_EQ(position.QuadPart, 6u);
  ASSERT_EQ(stream->Write("WORLD!", 6, nullptr), S_OK);
  EXPECT_EQ(readAll(stream.get()), "hello WORLD!");

  ComPtr<IStream> clone;
  ASSERT_EQ(stream->Clone(clone.put()), S_OK);
  ASSERT_EQ(clone->Write("?", 1, nullptr), S_OK);  // the clone writes at its own position (the end)
  EXPECT_EQ(readAll(stream.get()), "hello WORLD!?");

  LARGE_INTEGER before{-1};
  EXPECT_EQ(stream->Seek(before, STREAM_SEEK_SET, nullptr), STG_E_INVALIDFUNCTION);
  ULARGE_INTEGER size{5};
  ASSERT_EQ(stream->SetSize(size), S_OK);
  EXPECT_EQ(readAll(stream.get()), "hello");
  STATSTG stat{};
  ASSERT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.type, static_cast<DWORD>(STGTY_STREAM));
  EXPECT_EQ(stat.cbSize.QuadPart, 5u);

  char byte = 0;
  ULONG got = 9;
  ASSERT_EQ(stream->Read(&byte, 1, &got), S_OK);
  EXPECT_EQ(got, 0u) << "reading at the end gives nothing";
  EXPECT_EQ(CreateStreamOnHGlobal(reinterpret_cast<HGLOBAL>(&byte), TRUE, stream.put()), E_INVALIDARG);
}

TEST(MemoryStorage, HoldsNamedStreams) {
  ComPtr<IStorage> storage;
  ASSERT_EQ(platform::createMemoryStorage(storage.put()), S_OK);
  ComPtr<IStream> contents;
  ASSERT_EQ(storage->CreateStream(u"Contents", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, contents.put()), S_OK);
  ASSERT_EQ(contents->Write("state", 5, nullptr), S_OK);
  contents.reset();

  ComPtr<IStream> again;
  EXPECT_EQ(storage->CreateStream(u"contents", STGM_READWRITE, 0, 0, again.put()), STG_E_FILEALREADYEXISTS);
  ASSERT_EQ(storage->OpenStream(u"CONTENTS", nullptr, STGM_READ, 0, again.put()), S_OK);
  EXPECT_EQ(readAll(again.get()), "state");
  STATSTG stat{};
  ASSERT_EQ(again->Stat(&stat, STATFLAG_DEFAULT), S_OK);
  EXPECT_EQ(std::u16string(stat.pwcsName), u"Contents");
  CoTaskMemFree(stat.pwcsName);

  ComPtr<IStorage> copy;
  ASSERT_EQ(platform::createMemoryStorage(copy.put()), S_OK);
  ASSERT_EQ(storage->SetClass(CLSID_StdFont), S_OK);
  ASSERT_EQ(storage->CopyTo(0, nullptr, nullptr, copy.get()), S_OK);
  ComPtr<IStream> copied;
  ASSERT_EQ(copy->OpenStream(u"Contents", nullptr, STGM_READ, 0, copied.put()), S_OK);
  EXPECT_EQ(readAll(copied.get()), "state");
  ASSERT_EQ(copy->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.clsid, CLSID_StdFont);

  ASSERT_EQ(storage->CreateStream(u"Contents", STGM_CREATE | STGM_READWRITE, 0, 0, contents.put()), S_OK);
  EXPECT_EQ(readAll(contents.get()), "") << "STGM_CREATE replaces the stream";
  ASSERT_EQ(storage->RenameElement(u"Contents", u"Old"), S_OK);
  EXPECT_EQ(storage->OpenStream(u"Contents", nullptr, STGM_READ, 0, again.put()), STG_E_FILENOTFOUND);
  ASSERT_EQ(storage->DestroyElement(u"old"), S_OK);
  EXPECT_EQ(storage->DestroyElement(u"old"), STG_E_FILENOTFOUND);
  EXPECT_EQ(storage->CreateStream(u"a name that is far too long for a storage", STGM_CREATE, 0, 0, again.put()),
            STG_E_INVALIDNAME);
}

TEST(StdFont, HoldsItsPropertiesAndServesThemByName) {
  FONTDESC description{sizeof(FONTDESC), const_cast<LPOLESTR>(u"MS Sans Serif"), CY{80000}, FW_NORMAL, 0,
                       FALSE, FALSE, FALSE};
  ComPtr<IFontDisp> font;
  ASSERT_EQ(OleCreateFontIndirect(&description, IID_IFontDisp, font.putVoid()), S_OK);
  platform::FontState state;
  ASSERT_EQ(platform::readFont(font.get(), state), S_OK);
  EXPECT_EQ(state.name, u"MS Sans Serif");
  EXPECT_EQ(state.size.int64, 80000);
  EXPECT_FALSE(state.bold);

  VARIANT bold;
  VariantInit(&bold);
  bold.vt = VT_BOOL;
  bold.boolVal = VARIANT_TRUE;
  ASSERT_EQ(platform::invokeByName(font.get(), u"bold", DISPATCH_PROPERTYPUT, &bold, 1, nullptr), S_OK);
  VARIANT size;
  VariantInit(&size);
  size.vt = VT_BSTR;
  size.bstrVal = SysAllocString(u"12.5");
  ASSERT_EQ(platform::invokeByName(font.get(), u"Size", DISPATCH_PROPERTYPUT, &size, 1, nullptr), S_OK);
  VariantClear(&size);
  ASSERT_EQ(platform::readFont(font.get(), state), S_OK);
  EXPECT_TRUE(state.bold);
  EXPECT_EQ(state.weight, FW_BOLD);
  EXPECT_EQ(state.size.int64, 125000);

  VARIANT empty;
  VariantInit(&empty);
  empty.vt = VT_BSTR;
  empty.bstrVal = SysAllocString(u"");
  EXPECT_EQ(platform::invokeByName(font.get(), u"Name", DISPATCH_PROPERTYPUT, &empty, 1, nullptr), E_INVALIDARG);
  VariantClear(&empty);

  ComPtr<IUnknown> other;
  EXPECT_EQ(OleCreateFontIndirect(&description, IID_IStream, other.putVoid()), E_NOINTERFACE);
  EXPECT_FALSE(other);
}

// A small aggregatable object: IPersist and IObjectSafety, counting instances.
class Part final : public platform::ComObjectRoot, public IPersist, public IObjectSafety {
 public:
  explicit Part(IUnknown* outer) : ComObjectRoot(outer) { ++live; }
  ~Part() override { --live; }
  PLATFORM_DELEGATING_IUNKNOWN

  HRESULT GetClassID(CLSID* id) override {
    *id = CLSID_StdFont;
    return S_OK;
  }
  HRESULT GetInterfaceSafetyOptions(REFIID, DWORD* supported, DWORD* enabled) override {
    *supported = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
    *enabled = 0;
    return S_OK;
  }
  HRESULT SetInterfaceSafetyOptions(REFIID, DWORD, DWORD) override { return S_OK; }

  static inline int live = 0;

 protected:
  void* findInterface(REFIID iid) override {
    if (iid == IID_IPersist) return static_cast<IPersist*>(this);
    if (iid == IID_IObjectSafety) return static_cast<IObjectSafety*>(this);
    return nullptr;
  }
};

// An outer object that aggregates a Part and exposes its IPersist.
class Outer final : public IStream {
 public:
  Outer() { EXPECT_EQ(platform::createComObject<Part>(this, IID_IUnknown, inner_.putVoid()), S_OK); }
  HRESULT QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IStream) {
      *out = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    if (riid == IID_IPersist) return inner_->QueryInterface(riid, out);
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references; }
  ULONG Release() override {
    if (--references == 0) {
      delete this;
      return 0;
    }
    return references;
  }
  HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT Commit(DWORD) override { return E_NOTIMPL; }
  HRESULT Revert() override { return E_NOTIMPL; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
  HRESULT Clone(IStream**) override { return E_NOTIMPL; }

  ULONG references = 1;

 private:
  ~Outer() = default;
  ComPtr<IUnknown> inner_;
};

TEST(Aggregation, AloneTheObjectIsItsOwnIdentity) {
  ComPtr<IPersist> persist;
  ASSERT_EQ(platform::createComObject<Part>(nullptr, IID_IPersist, persist.putVoid()), S_OK);
  EXPECT_EQ(Part::live, 1);
  ComPtr<IObjectSafety> safety = persist.as<IObjectSafety>();
  ASSERT_TRUE(safety);
  EXPECT_EQ(persist.as<IUnknown>(), safety.as<IUnknown>()) << "one identity";
  EXPECT_FALSE(persist.as<IStream>());
  persist.reset();
  safety.reset();
  EXPECT_EQ(Part::live, 0);

  ComPtr<IStream> notServed;
  EXPECT_EQ(platform::createComObject<Part>(nullptr, IID_IStream, notServed.putVoid()), E_NOINTERFACE);
  EXPECT_EQ(Part::live, 0) << "an object that serves nothing asked for is deleted";
}

TEST(Aggregation, InsideAnOuterObjectEverythingGoesThroughTheOuter) {
  ComPtr<IPersist> refused;
  Outer* outerObject = new Outer;
  EXPECT_EQ(platform::createComObject<Part>(outerObject, IID_IPersist, refused.putVoid()), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(Part::live, 1);

  ComPtr<IStream> outer = ComPtr<IStream>::adopt(outerObject);
  ComPtr<IPersist> persist = outer.as<IPersist>();
  ASSERT_TRUE(persist);
  EXPECT_EQ(outerObject->references, 2u) << "the inner object's interface counts on the outer";
  EXPECT_EQ(persist.as<IUnknown>().get(), static_cast<IUnknown*>(outerObject)) << "identity is the outer's";
  EXPECT_TRUE(persist.as<IStream>()) << "the inner object answers for the outer's interfaces";
  CLSID id{};
  EXPECT_EQ(persist->GetClassID(&id), S_OK);
  persist.reset();
  outer.reset();
  EXPECT_EQ(Part::live, 0);
}

TEST(ClassFactory, CreatesThroughItsCreatorAndCountsLocks) {
  int locks = 0;
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(platform::ClassFactory::create(
                [](IUnknown* outer, REFIID iid, void** out) { return platform::createComObject<Part>(outer, iid, out); },
                [&locks](int delta) { locks += delta; }, IID_IClassFactory, factory.putVoid()),
            S_OK);
  ComPtr<IObjectSafety> safety;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IObjectSafety, safety.putVoid()), S_OK);
  EXPECT_EQ(Part::live, 1);
  factory->LockServer(TRUE);
  factory->LockServer(TRUE);
  factory->LockServer(FALSE);
  EXPECT_EQ(locks, 1);
  safety.reset();
  EXPECT_EQ(Part::live, 0);
}

TEST(OleText, ConvertsBothWaysAndReplacesWhatIsInvalid) {
  const std::u16string wide = u"Caf\u00e9 \u20ac \U0001F511 /tmp/a b";
  const std::string narrow = platform::wideToUtf8(wide);
  EXPECT_EQ(narrow, "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91 /tmp/a b");
  EXPECT_EQ(platform::utf8ToWide(narrow), wide);

  const char16_t lonely[] = {u'a', 0xD800, u'b', 0};
  EXPECT_EQ(platform::wideToUtf8(lonely), "a\xEF\xBF\xBD" "b");
  // Truncated (one replacement for the broken-off sequence), overlong,
  // surrogate and stray continuation bytes.
  EXPECT_EQ(platform::utf8ToWide("x\xE2\x82"), u"x\uFFFD");
  EXPECT_EQ(platform::utf8ToWide("\xC0\xAF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(platform::utf8ToWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(platform::utf8ToWide("\x80z"), u"\uFFFDz");
}

}  // namespace
