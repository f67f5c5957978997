#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>

#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/typelib.h"
#include "testlib/com_sample.h"
#include "testlib/test_home.h"

namespace {

using platform::ComPtr;
using platform::LibraryModel;
using testing_support::CLSID_Shape;
using testing_support::DIID_IShapeEvents;
using testing_support::HomeTest;
using testing_support::IID_IShape;

std::u16string take(BSTR value) {
  std::u16string result(value, SysStringLen(value));
  SysFreeString(value);
  return result;
}

TEST(TypeLibrary, ServesLibraryAndClassDescriptions) {
  ComPtr<ITypeLib> library = testing_support::shapeTypeLib();
  ASSERT_TRUE(library);
  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
  EXPECT_EQ(attributes->guid, testing_support::LIBID_ShapeLib);
  EXPECT_EQ(attributes->wMajorVerNum, 2);
  EXPECT_EQ(attributes->wMinorVerNum, 1);
  EXPECT_EQ(attributes->wLibFlags, LIBFLAG_FCONTROL);
  EXPECT_EQ(attributes->syskind, SYS_WIN32);
  library->ReleaseTLibAttr(attributes);

  BSTR name = nullptr;
  BSTR help = nullptr;
  ASSERT_EQ(library->GetDocumentation(-1, &name, &help, nullptr, nullptr), S_OK);
  EXPECT_EQ(take(name), u"ShapeLib");
  EXPECT_EQ(take(help), u"Shape Library");

  // What registration reads: the class's own help string.
  ComPtr<ITypeInfo> shapeClass;
  ASSERT_EQ(library->GetTypeInfoOfGuid(CLSID_Shape, shapeClass.put()), S_OK);
  ASSERT_EQ(shapeClass->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr), S_OK);
  EXPECT_EQ(take(help), u"Shape Control");

  // What IProvideClassInfo2 reads: the default interface and default source.
  TYPEATTR* typeAttributes = nullptr;
  ASSERT_EQ(shapeClass->GetTypeAttr(&typeAttributes), S_OK);
  EXPECT_EQ(typeAttributes->typekind, TKIND_COCLASS);
  ASSERT_EQ(typeAttributes->cImplTypes, 2);
  EXPECT_EQ(typeAttributes->wTypeFlags, TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL);
  shapeClass->ReleaseTypeAttr(typeAttributes);
  INT flags = 0;
  ASSERT_EQ(shapeClass->GetImplTypeFlags(1, &flags), S_OK);
  EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
  HREFTYPE reference = 0;
  ASSERT_EQ(shapeClass->GetRefTypeOfImplType(1, &reference), S_OK);
  ComPtr<ITypeInfo> source;
  ASSERT_EQ(shapeClass->GetRefTypeInfo(reference, source.put()), S_OK);
  ASSERT_EQ(source->GetTypeAttr(&typeAttributes), S_OK);
  EXPECT_EQ(typeAttributes->guid, DIID_IShapeEvents);
  source->ReleaseTypeAttr(typeAttributes);
  EXPECT_EQ(shapeClass->GetImplTypeFlags(2, &flags), TYPE_E_ELEMENTNOTFOUND);

  ComPtr<ITypeInfo> missing;
  EXPECT_EQ(library->GetTypeInfoOfGuid(GUID_NULL, missing.put()), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(library->GetTypeInfoOfGuid(IID_IDispatch, missing.put()), TYPE_E_ELEMENTNOTFOUND);

  OLECHAR lookup[] = u"ishape";
  BOOL found = FALSE;
  ASSERT_EQ(library->IsName(lookup, 0, &found), S_OK);
  EXPECT_TRUE(found);
  EXPECT_EQ(std::u16string(lookup), u"IShape");
}

TEST(TypeLibrary, DescribesMembersInSlotOrder) {
  ComPtr<ITypeInfo> shape;
  ASSERT_EQ(testing_support::shapeTypeLib()->GetTypeInfoOfGuid(IID_IShape, shape.put()), S_OK);
  TYPEATTR* attributes = nullptr;
  ASSERT_EQ(shape->GetTypeAttr(&attributes), S_OK);
  EXPECT_EQ(attributes->typekind, TKIND_DISPATCH);
  EXPECT_EQ(attributes->cFuncs, 15);
  EXPECT_EQ(attributes->cbSizeVft, (7 + 15) * sizeof(void*));
  EXPECT_TRUE(attributes->wTypeFlags & TYPEFLAG_FDUAL);
  shape->ReleaseTypeAttr(attributes);

  FUNCDESC* describe = nullptr;
  ASSERT_EQ(shape->GetFuncDesc(3, &describe), S_OK);
  EXPECT_EQ(describe->memid, 3);
  EXPECT_EQ(describe->invkind, INVOKE_FUNC);
  EXPECT_EQ(describe->cParams, 2) << "the retval is the result in the dispatch view";
  EXPECT_EQ(describe->lprgelemdescParam[1].tdesc.vt, VT_I4);
  EXPECT_EQ(describe->elemdescFunc.tdesc.vt, VT_BSTR);
  EXPECT_EQ(describe->oVft, static_cast<SHORT>((7 + 3) * sizeof(void*)));
  shape->ReleaseFuncDesc(describe);

  FUNCDESC* bump = nullptr;
  ASSERT_EQ(shape->GetFuncDesc(4, &bump), S_OK);
  EXPECT_EQ(bump->lprgelemdescParam[0].tdesc.vt, VT_PTR);
  EXPECT_EQ(bump->lprgelemdescParam[0].tdesc.lptdesc->vt, VT_I2);
  EXPECT_EQ(bump->lprgelemdescParam[0].paramdesc.wParamFlags, PARAMFLAG_FIN | PARAMFLAG_FOUT);
  shape->ReleaseFuncDesc(bump);

  FUNCDESC* visible = nullptr;
  ASSERT_EQ(shape->GetFuncDesc(6, &visible), S_OK);
  EXPECT_EQ(visible->wFuncFlags, FUNCFLAG_FHIDDEN);
  shape->ReleaseFuncDesc(visible);
  FUNCDESC* none = nullptr;
  EXPECT_EQ(shape->GetFuncDesc(15, &none), TYPE_E_ELEMENTNOTFOUND);

  BSTR names[4] = {};
  UINT count = 0;
  ASSERT_EQ(shape->GetNames(3, names, 4, &count), S_OK);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(take(names[0]), u"Describe");
  EXPECT_EQ(take(names[1]), u"prefix");
  EXPECT_EQ(take(names[2]), u"count");
  EXPECT_EQ(shape->GetNames(4242, names, 4, &count), TYPE_E_ELEMENTNOTFOUND);
}

TEST(TypeLibrary, TypeInfoInvokeHandsTheCallToTheObject) {
  ComPtr<ITypeInfo> shapeInfo;
  ASSERT_EQ(testing_support::shapeTypeLib()->GetTypeInfoOfGuid(IID_IShape, shapeInfo.put()), S_OK);
  auto shape = testing_support::Shape::create();
  VARIANT result;
  VariantInit(&result);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  ASSERT_EQ(shapeInfo->Invoke(static_cast<IDispatch*>(static_cast<testing_support::IShape*>(shape.get())), 1,
                              DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(result.lVal, 10);
  EXPECT_EQ(shapeInfo->Invoke(static_cast<testing_support::IShape*>(shape.get()), 2, DISPATCH_PROPERTYGET, &none,
                              &result, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
}

TEST(TypeLibrary, EnumerationConstants) {
  ComPtr<ITypeLib> library = testing_support::shapeTypeLib();
  ComPtr<ITypeInfo> kinds;
  ASSERT_EQ(library->GetTypeInfo(2, kinds.put()), S_OK);
  VARDESC* circle = nullptr;
  ASSERT_EQ(kinds->GetVarDesc(1, &circle), S_OK);
  EXPECT_EQ(circle->varkind, VAR_CONST);
  EXPECT_EQ(circle->lpvarValue->vt, VT_I4);
  EXPECT_EQ(circle->lpvarValue->lVal, 1);
  BSTR name = nullptr;
  UINT count = 0;
  ASSERT_EQ(kinds->GetNames(circle->memid, &name, 1, &count), S_OK);
  EXPECT_EQ(take(name), u"skCircle");
  kinds->ReleaseVarDesc(circle);
}

TEST(TypeLibrary, SavedFormLoadsBackUnchanged) {
  const auto model = testing_support::shapeLibraryModel();
  const std::vector<BYTE> bytes = platform::saveTypeLibrary(*model);
  LibraryModel loaded;
  ASSERT_EQ(platform::loadTypeLibrary(bytes.data(), bytes.size(), loaded), S_OK);
  EXPECT_EQ(platform::saveTypeLibrary(loaded), bytes);
  EXPECT_EQ(loaded.name, u"ShapeLib");
  ASSERT_EQ(loaded.types.size(), 4u);
  EXPECT_EQ(loaded.types[0].members[3].params[2].flags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
  EXPECT_EQ(loaded.types[0].members[8].params[0].typeName, u"OLE_COLOR");
  EXPECT_EQ(loaded.types[3].implemented[1].flags, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
}

TEST(TypeLibrary, DamagedBytesAreRefused) {
  const std::vector<BYTE> bytes = platform::saveTypeLibrary(*testing_support::shapeLibraryModel());
  LibraryModel loaded;
  for (std::size_t length = 0; length < bytes.size(); ++length)
    ASSERT_EQ(platform::loadTypeLibrary(bytes.data(), length, loaded), TYPE_E_CANTLOADLIBRARY) << length;
  std::vector<BYTE> longer = bytes;
  longer.push_back(0);
  EXPECT_EQ(platform::loadTypeLibrary(longer.data(), longer.size(), loaded), TYPE_E_CANTLOADLIBRARY);

  // A huge count must not make the reader allocate or run past the end.
  std::vector<BYTE> huge = bytes;
  const std::size_t typeCountAt = 4 + 2 + 4 + 2 * 8 + 4 + 2 * 13 + 16 + 6 + 8;
  ASSERT_EQ(huge[typeCountAt], 4);
  huge[typeCountAt + 3] = 0x7F;
  EXPECT_EQ(platform::loadTypeLibrary(huge.data(), huge.size(), loaded), TYPE_E_CANTLOADLIBRARY);

  // Well-formed bytes describing an unsound library.
  LibraryModel unsound = *testing_support::shapeLibraryModel();
  unsound.types[0].members[1].id = 2;  // Width's put takes Label's DISPID
  const std::vector<BYTE> unsoundBytes = platform::saveTypeLibrary(unsound);
  ASSERT_EQ(platform::loadTypeLibrary(bytes.data(), bytes.size(), loaded), S_OK);
  EXPECT_EQ(platform::loadTypeLibrary(unsoundBytes.data(), unsoundBytes.size(), loaded), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(loaded.name, u"ShapeLib") << "the earlier successful load is left alone";
}

TEST(TypeLibrary, ValidationNamesTheProblem) {
  auto check = [](auto change, const std::string& expected) {
    LibraryModel library = *testing_support::shapeLibraryModel();
    change(library);
    std::string problem;
    EXPECT_EQ(platform::validateLibrary(library, &problem), TYPE_E_INVDATAREAD);
    EXPECT_NE(problem.find(expected), std::string::npos) << problem;
  };
  check([](LibraryModel& l) { l.types[0].members[0].params.clear(); }, "property get");
  check([](LibraryModel& l) { l.types[0].members[1].params[0].flags = PARAMFLAG_FOUT; }, "property put");
  check([](LibraryModel& l) { std::swap(l.types[0].members[3].params[0], l.types[0].members[3].params[2]); },
        "retval");
  check([](LibraryModel& l) { l.types[3].implemented[0].name = u"IMissing"; }, "IMissing");
  check([](LibraryModel& l) { l.types[1].name = u"ishape"; }, "two types");
  check([](LibraryModel& l) { l.types[1].guid = IID_IShape; }, "identifier");
  check([](LibraryModel& l) { l.types[0].members[3].params[1].type = VT_R8; }, "unsupported parameter type");
  check([](LibraryModel& l) { l.types[0].members[4].name = u"Describe"; }, "two DISPIDs");
  EXPECT_EQ(platform::validateLibrary(*testing_support::shapeLibraryModel()), S_OK);
}

TEST_F(HomeTest, LoadTypeLibReadsAWrittenFile) {
  const std::string path = home_.path() + "/shapes.tlb";
  ASSERT_EQ(platform::writeTypeLibFile(path.c_str(), *testing_support::shapeLibraryModel()),
            static_cast<DWORD>(ERROR_SUCCESS));
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);

  const std::u16string widePath(path.begin(), path.end());
  ComPtr<ITypeLib> library;
  ASSERT_EQ(LoadTypeLib(widePath.c_str(), library.put()), S_OK);
  ComPtr<ITypeInfo> shapeClass;
  EXPECT_EQ(library->GetTypeInfoOfGuid(CLSID_Shape, shapeClass.put()), S_OK);

  const std::u16string missing = widePath + u".missing";
  EXPECT_EQ(LoadTypeLib(missing.c_str(), library.put()), TYPE_E_CANTLOADLIBRARY);
  EXPECT_FALSE(library);
  std::ofstream(path + ".junk") << "not a type library";
  const std::u16string junk = widePath + u".junk";
  EXPECT_EQ(LoadTypeLib(junk.c_str(), library.put()), TYPE_E_CANTLOADLIBRARY);

  platform::faultArm("LoadTypeLib", 1, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(LoadTypeLib(widePath.c_str(), library.put()), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(LoadTypeLib(widePath.c_str(), library.put()), S_OK);
}

}  // namespace
