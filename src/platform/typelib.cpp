#include "platform/typelib.h"

#include <cstring>
#include <new>
#include <set>

#include "platform/comptr.h"
#include "platform/refcounted.h"

namespace platform {
namespace {

// Enumeration constants have no DISPIDs of their own; they are numbered from here.
constexpr MEMBERID firstConstantId = 0x40000000;
constexpr WORD dispatchSlots = 7;

char16_t foldCase(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool sameName(std::u16string_view left, std::u16string_view right) {
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i)
    if (foldCase(left[i]) != foldCase(right[i])) return false;
  return true;
}

std::u16string folded(std::u16string_view text) {
  std::u16string result(text);
  for (char16_t& c : result) c = foldCase(c);
  return result;
}

std::string narrow(std::u16string_view text) {
  std::string result;
  for (char16_t c : text) result += c < 0x80 ? static_cast<char>(c) : '?';
  return result;
}

bool isSupportedParamType(VARTYPE vt) {
  switch (vt) {
    case VT_I2: case VT_I4: case VT_UI4: case VT_CY: case VT_BOOL: case VT_BSTR:
    case VT_DISPATCH: case VT_UNKNOWN: case VT_ERROR: case VT_VARIANT:
      return true;
    default:
      return false;
  }
}

bool isSingleKind(INVOKEKIND kind) {
  return kind == INVOKE_FUNC || kind == INVOKE_PROPERTYGET || kind == INVOKE_PROPERTYPUT ||
         kind == INVOKE_PROPERTYPUTREF;
}

class Validator {
 public:
  explicit Validator(const LibraryModel& library) : library_(library) {}

  HRESULT run(std::string* problem) {
    check(!library_.name.empty(), "the library has no name");
    std::set<std::u16string> typeNames;
    for (const TypeModel& type : library_.types) {
      check(!type.name.empty(), "a type has no name");
      check(typeNames.insert(folded(type.name)).second, "two types are named " + narrow(type.name));
      checkType(type);
    }
    if (!problem_.empty() && problem != nullptr) *problem = problem_;
    return problem_.empty() ? S_OK : TYPE_E_INVDATAREAD;
  }

 private:
  void check(bool condition, const std::string& what) {
    if (!condition && problem_.empty()) problem_ = what;
  }

  void checkType(const TypeModel& type) {
    const std::string where = narrow(type.name) + ": ";
    for (const TypeModel& other : library_.types)
      if (&other != &type && type.guid != GUID_NULL)
        check(other.guid != type.guid, where + "its identifier is used twice");
    switch (type.kind) {
      case TKIND_DISPATCH:
        check(type.guid != GUID_NULL, where + "an interface needs an identifier");
        for (const MemberModel& member : type.members) checkMember(type, member, where + narrow(member.name) + ": ");
        break;
      case TKIND_ENUM: {
        std::set<std::u16string> names;
        for (const ConstantModel& constant : type.constants)
          check(!constant.name.empty() && names.insert(folded(constant.name)).second,
                where + "a constant is unnamed or named twice");
        break;
      }
      case TKIND_COCLASS:
        check(type.guid != GUID_NULL, where + "a class needs an identifier");
        checkClass(type, where);
        break;
      default:
        check(false, where + "unsupported kind of type");
    }
  }

  void checkMember(const TypeModel& type, const MemberModel& member, const std::string& where) {
    check(!member.name.empty(), where + "a member has no name");
    check(isSingleKind(member.kind), where + "invalid member kind");
    for (const MemberModel& other : type.members) {
      if (&other == &member) continue;
      if (sameName(other.name, member.name)) check(other.id == member.id, where + "one name with two DISPIDs");
      if (other.id == member.id) {
        check(sameName(other.name, member.name), where + "its DISPID belongs to another member");
        check(other.kind != member.kind, where + "declared twice");
      }
    }
    std::set<std::u16string> paramNames;
    for (std::size_t i = 0; i < member.params.size(); ++i) {
      const ParamModel& param = member.params[i];
      check(isSupportedParamType(param.type), where + "unsupported parameter type");
      check((param.flags & (PARAMFLAG_FIN | PARAMFLAG_FOUT)) != 0, where + "a parameter is neither in nor out");
      if (param.flags & PARAMFLAG_FRETVAL)
        check(i + 1 == member.params.size() && (param.flags & PARAMFLAG_FOUT) != 0 &&
                  (param.flags & PARAMFLAG_FIN) == 0,
              where + "retval must be the last parameter, out only");
      if (!param.name.empty())
        check(paramNames.insert(folded(param.name)).second, where + "two parameters share a name");
    }
    if (member.kind == INVOKE_PROPERTYGET) check(member.hasRetval(), where + "a property get needs an [out, retval]");
    if (member.kind == INVOKE_PROPERTYPUT || member.kind == INVOKE_PROPERTYPUTREF)
      check(!member.params.empty() && member.params.back().flags == PARAMFLAG_FIN,
            where + "a property put takes its value as the last [in] parameter");
  }

  void checkClass(const TypeModel& type, const std::string& where) {
    int defaults = 0;
    int defaultSources = 0;
    for (const ImplementedModel& implemented : type.implemented) {
      bool found = false;
      for (const TypeModel& other : library_.types)
        found = found || (other.kind == TKIND_DISPATCH && sameName(other.name, implemented.name));
      check(found, where + "implements unknown interface " + narrow(implemented.name));
      if (implemented.flags & IMPLTYPEFLAG_FDEFAULT) ++((implemented.flags & IMPLTYPEFLAG_FSOURCE) ? defaultSources : defaults);
    }
    check(defaults <= 1 && defaultSources <= 1, where + "more than one default interface or source");
  }

  const LibraryModel& library_;
  std::string problem_;
};

HRESULT copyText(std::u16string_view text, BSTR* out) {
  if (out == nullptr) return S_OK;
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

// Fills the optional documentation places; none of them is required.
HRESULT documentation(std::u16string_view name, std::u16string_view help, BSTR* pName, BSTR* pDoc, DWORD* pContext,
                      BSTR* pHelpFile) {
  if (pName != nullptr) *pName = nullptr;
  if (pDoc != nullptr) *pDoc = nullptr;
  if (pHelpFile != nullptr) *pHelpFile = nullptr;
  if (pContext != nullptr) *pContext = 0;
  if (FAILED(copyText(name, pName)) || FAILED(copyText(help, pDoc))) {
    if (pName != nullptr) SysFreeString(*pName);
    if (pName != nullptr) *pName = nullptr;
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

class TypeLibImpl;

class TypeInfoImpl final : public RefCounted<ITypeInfo> {
 public:
  TypeInfoImpl(TypeLibImpl* library, UINT index);
  ~TypeInfoImpl() override;

  const TypeModel& model() const { return *type_; }

  HRESULT GetTypeAttr(TYPEATTR** ppTypeAttr) override;
  HRESULT GetTypeComp(ITypeComp** ppTComp) override {
    if (ppTComp != nullptr) *ppTComp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) override;
  HRESULT GetVarDesc(UINT index, VARDESC** ppVarDesc) override;
  HRESULT GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) override;
  HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) override;
  HRESULT GetImplTypeFlags(UINT index, INT* pImplTypeFlags) override;
  HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override {
    if (type_->kind != TKIND_DISPATCH) return TYPE_E_WRONGTYPEKIND;
    return idsOfNames(*type_, rgszNames, cNames, pMemId);
  }
  HRESULT Invoke(void* pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                 EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
  HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                           BSTR* pBstrHelpFile) override;
  HRESULT GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return TYPE_E_BADMODULEKIND; }
  HRESULT GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) override;
  HRESULT AddressOfMember(MEMBERID, INVOKEKIND, void** ppv) override {
    if (ppv != nullptr) *ppv = nullptr;
    return TYPE_E_BADMODULEKIND;
  }
  HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObj) override;
  HRESULT GetMops(MEMBERID, BSTR* pBstrMops) override {
    if (pBstrMops == nullptr) return E_INVALIDARG;
    *pBstrMops = nullptr;
    return S_OK;
  }
  HRESULT GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override;
  void ReleaseTypeAttr(TYPEATTR* pTypeAttr) override { CoTaskMemFree(pTypeAttr); }
  void ReleaseFuncDesc(FUNCDESC* pFuncDesc) override { CoTaskMemFree(pFuncDesc); }
  void ReleaseVarDesc(VARDESC* pVarDesc) override { CoTaskMemFree(pVarDesc); }

 private:
  TypeLibImpl* library_;  // holds a reference
  UINT index_;
  const TypeModel* type_;
};

class TypeLibImpl final : public RefCounted<ITypeLib> {
 public:
  explicit TypeLibImpl(std::shared_ptr<const LibraryModel> library) : library_(std::move(library)) {}

  const LibraryModel& model() const { return *library_; }

  UINT GetTypeInfoCount() override { return static_cast<UINT>(library_->types.size()); }
  HRESULT GetTypeInfo(UINT index, ITypeInfo** ppTInfo) override {
    if (ppTInfo == nullptr) return E_INVALIDARG;
    *ppTInfo = nullptr;
    if (index >= library_->types.size()) return TYPE_E_ELEMENTNOTFOUND;
    *ppTInfo = new (std::nothrow) TypeInfoImpl(this, index);
    return *ppTInfo == nullptr ? E_OUTOFMEMORY : S_OK;
  }
  HRESULT GetTypeInfoType(UINT index, TYPEKIND* pTKind) override {
    if (pTKind == nullptr) return E_INVALIDARG;
    if (index >= library_->types.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pTKind = library_->types[index].kind;
    return S_OK;
  }
  HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) override {
    if (ppTinfo == nullptr) return E_INVALIDARG;
    *ppTinfo = nullptr;
    for (std::size_t i = 0; i < library_->types.size(); ++i)
      if (guid != GUID_NULL && library_->types[i].guid == guid) return GetTypeInfo(static_cast<UINT>(i), ppTinfo);
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT GetLibAttr(TLIBATTR** ppTLibAttr) override {
    if (ppTLibAttr == nullptr) return E_INVALIDARG;
    auto* attributes = static_cast<TLIBATTR*>(CoTaskMemAlloc(sizeof(TLIBATTR)));
    *ppTLibAttr = attributes;
    if (attributes == nullptr) return E_OUTOFMEMORY;
    *attributes = TLIBATTR{library_->libid, library_->lcid, library_->syskind, library_->majorVersion,
                           library_->minorVersion, library_->flags};
    return S_OK;
  }
  HRESULT GetTypeComp(ITypeComp** ppTComp) override {
    if (ppTComp != nullptr) *ppTComp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                           BSTR* pBstrHelpFile) override {
    if (index == -1)
      return documentation(library_->name, library_->help, pBstrName, pBstrDocString, pdwHelpContext, pBstrHelpFile);
    if (index < 0 || static_cast<std::size_t>(index) >= library_->types.size()) return TYPE_E_ELEMENTNOTFOUND;
    const TypeModel& type = library_->types[index];
    return documentation(type.name, type.help, pBstrName, pBstrDocString, pdwHelpContext, pBstrHelpFile);
  }
  HRESULT IsName(LPOLESTR szNameBuf, ULONG, BOOL* pfName) override {
    if (szNameBuf == nullptr || pfName == nullptr) return E_INVALIDARG;
    const std::u16string* found = findName(szNameBuf);
    *pfName = found != nullptr;
    // As on the original platform, the buffer receives the name as the library spells it.
    if (found != nullptr) std::memcpy(szNameBuf, found->data(), found->size() * sizeof(char16_t));
    return S_OK;
  }
  HRESULT FindName(LPOLESTR szNameBuf, ULONG, ITypeInfo** ppTInfo, MEMBERID* rgMemId, USHORT* pcFound) override {
    if (szNameBuf == nullptr || ppTInfo == nullptr || rgMemId == nullptr || pcFound == nullptr) return E_INVALIDARG;
    USHORT found = 0;
    for (std::size_t i = 0; i < library_->types.size() && found < *pcFound; ++i) {
      const TypeModel& type = library_->types[i];
      MEMBERID id = DISPID_UNKNOWN;
      bool matches = sameName(type.name, szNameBuf);
      for (const MemberModel& member : type.members)
        if (!matches && sameName(member.name, szNameBuf)) {
          matches = true;
          id = member.id;
        }
      if (!matches) continue;
      if (FAILED(GetTypeInfo(static_cast<UINT>(i), &ppTInfo[found]))) break;
      rgMemId[found++] = id;
    }
    *pcFound = found;
    return S_OK;
  }
  void ReleaseTLibAttr(TLIBATTR* pTLibAttr) override { CoTaskMemFree(pTLibAttr); }

 private:
  const std::u16string* findName(std::u16string_view name) const {
    for (const TypeModel& type : library_->types) {
      if (sameName(type.name, name)) return &type.name;
      for (const MemberModel& member : type.members) {
        if (sameName(member.name, name)) return &member.name;
        for (const ParamModel& param : member.params)
          if (sameName(param.name, name)) return &param.name;
      }
      for (const ConstantModel& constant : type.constants)
        if (sameName(constant.name, name)) return &constant.name;
    }
    return nullptr;
  }

  std::shared_ptr<const LibraryModel> library_;
};

TypeInfoImpl::TypeInfoImpl(TypeLibImpl* library, UINT index)
    : library_(library), index_(index), type_(&library->model().types[index]) {
  library_->AddRef();
}

TypeInfoImpl::~TypeInfoImpl() { library_->Release(); }

HRESULT TypeInfoImpl::GetTypeAttr(TYPEATTR** ppTypeAttr) {
  if (ppTypeAttr == nullptr) return E_INVALIDARG;
  auto* attributes = static_cast<TYPEATTR*>(CoTaskMemAlloc(sizeof(TYPEATTR)));
  *ppTypeAttr = attributes;
  if (attributes == nullptr) return E_OUTOFMEMORY;
  std::memset(attributes, 0, sizeof *attributes);
  const LibraryModel& library = library_->model();
  attributes->guid = type_->guid;
  attributes->lcid = library.lcid;
  attributes->memidConstructor = MEMBERID_NIL;
  attributes->memidDestructor = MEMBERID_NIL;
  attributes->cbSizeInstance = sizeof(void*);
  attributes->typekind = type_->kind;
  attributes->cFuncs = static_cast<WORD>(type_->members.size());
  attributes->cVars = static_cast<WORD>(type_->constants.size());
  attributes->cImplTypes = static_cast<WORD>(type_->implemented.size());
  if (type_->kind == TKIND_DISPATCH) {
    const std::size_t slots = dispatchSlots + ((type_->flags & TYPEFLAG_FDUAL) ? type_->members.size() : 0);
    attributes->cbSizeVft = static_cast<WORD>(slots * sizeof(void*));
  }
  attributes->cbAlignment = alignof(void*);
  attributes->wTypeFlags = type_->flags;
  attributes->wMajorVerNum = library.majorVersion;
  attributes->wMinorVerNum = library.minorVersion;
  attributes->tdescAlias.vt = VT_EMPTY;
  return S_OK;
}

// The dispatch view of a member, as the original platform gives it for a
// dispinterface: the [out, retval] parameter becomes the result type. One
// block holds the description, its parameters and their pointed-at types.
HRESULT TypeInfoImpl::GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) {
  if (ppFuncDesc == nullptr) return E_INVALIDARG;
  *ppFuncDesc = nullptr;
  if (index >= type_->members.size()) return TYPE_E_ELEMENTNOTFOUND;
  const MemberModel& member = type_->members[index];
  const std::size_t count = member.callerParamCount();
  const std::size_t bytes = sizeof(FUNCDESC) + (count + 1) * (sizeof(ELEMDESC) + sizeof(TYPEDESC));
  auto* block = static_cast<BYTE*>(CoTaskMemAlloc(bytes));
  if (block == nullptr) return E_OUTOFMEMORY;
  std::memset(block, 0, bytes);
  auto* description = reinterpret_cast<FUNCDESC*>(block);
  auto* params = reinterpret_cast<ELEMDESC*>(block + sizeof(FUNCDESC));
  auto* pointees = reinterpret_cast<TYPEDESC*>(block + sizeof(FUNCDESC) + (count + 1) * sizeof(ELEMDESC));
  auto describe = [&](const ParamModel& param, std::size_t at, ELEMDESC& element) {
    element.paramdesc.wParamFlags = param.flags;
    if (param.flags & PARAMFLAG_FOUT) {
      pointees[at].vt = param.type;
      element.tdesc.vt = VT_PTR;
      element.tdesc.lptdesc = &pointees[at];
    } else {
      element.tdesc.vt = param.type;
    }
  };
  for (std::size_t i = 0; i < count; ++i) describe(member.params[i], i, params[i]);
  description->memid = member.id;
  description->lprgelemdescParam = count == 0 ? nullptr : params;
  description->funckind = FUNC_DISPATCH;
  description->invkind = member.kind;
  description->callconv = CC_STDCALL;
  description->cParams = static_cast<SHORT>(count);
  description->oVft = static_cast<SHORT>((type_->flags & TYPEFLAG_FDUAL) ? (dispatchSlots + index) * sizeof(void*) : 0);
  description->elemdescFunc.tdesc.vt = member.hasRetval() ? member.params.back().type : VARTYPE{VT_VOID};
  description->wFuncFlags = member.flags;
  *ppFuncDesc = description;
  return S_OK;
}

HRESULT TypeInfoImpl::GetVarDesc(UINT index, VARDESC** ppVarDesc) {
  if (ppVarDesc == nullptr) return E_INVALIDARG;
  *ppVarDesc = nullptr;
  if (index >= type_->constants.size()) return TYPE_E_ELEMENTNOTFOUND;
  auto* block = static_cast<BYTE*>(CoTaskMemAlloc(sizeof(VARDESC) + sizeof(VARIANT)));
  if (block == nullptr) return E_OUTOFMEMORY;
  std::memset(block, 0, sizeof(VARDESC) + sizeof(VARIANT));
  auto* description = reinterpret_cast<VARDESC*>(block);
  auto* value = reinterpret_cast<VARIANT*>(block + sizeof(VARDESC));
  value->vt = VT_I4;
  value->lVal = type_->constants[index].value;
  description->memid = firstConstantId + static_cast<MEMBERID>(index);
  description->lpvarValue = value;
  description->elemdescVar.tdesc.vt = VT_I4;
  description->varkind = VAR_CONST;
  *ppVarDesc = description;
  return S_OK;
}

HRESULT TypeInfoImpl::GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) {
  if (rgBstrNames == nullptr || pcNames == nullptr) return E_INVALIDARG;
  *pcNames = 0;
  std::vector<std::u16string_view> names;
  if (const MemberModel* member = findMember(*type_, memid, INVOKE_FUNC | INVOKE_PROPERTYGET | INVOKE_PROPERTYPUT |
                                                                 INVOKE_PROPERTYPUTREF)) {
    names.push_back(member->name);
    for (std::size_t i = 0; i < member->callerParamCount() && !member->params[i].name.empty(); ++i)
      names.push_back(member->params[i].name);
  } else if (memid >= firstConstantId && static_cast<std::size_t>(memid - firstConstantId) < type_->constants.size()) {
    names.push_back(type_->constants[memid - firstConstantId].name);
  } else {
    return TYPE_E_ELEMENTNOTFOUND;
  }
  for (std::size_t i = 0; i < names.size() && i < cMaxNames; ++i) {
    if (FAILED(copyText(names[i], &rgBstrNames[i]))) {
      for (UINT j = 0; j < i; ++j) SysFreeString(rgBstrNames[j]);
      return E_OUTOFMEMORY;
    }
    ++*pcNames;
  }
  return S_OK;
}

HRESULT TypeInfoImpl::GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) {
  if (pRefType == nullptr) return E_INVALIDARG;
  if (index >= type_->implemented.size()) return TYPE_E_ELEMENTNOTFOUND;
  const std::vector<TypeModel>& types = library_->model().types;
  for (std::size_t i = 0; i < types.size(); ++i)
    if (types[i].kind == TKIND_DISPATCH && sameName(types[i].name, type_->implemented[index].name)) {
      *pRefType = static_cast<HREFTYPE>(i);
      return S_OK;
    }
  return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT TypeInfoImpl::GetImplTypeFlags(UINT index, INT* pImplTypeFlags) {
  if (pImplTypeFlags == nullptr) return E_INVALIDARG;
  if (index >= type_->implemented.size()) return TYPE_E_ELEMENTNOTFOUND;
  *pImplTypeFlags = type_->implemented[index].flags;
  return S_OK;
}

// An object's IDispatch serves its members; this checks that the member
// exists for these flags and hands the call to the instance, which must be
// the IDispatch of an object implementing this interface.
HRESULT TypeInfoImpl::Invoke(void* pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                             VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  if (type_->kind != TKIND_DISPATCH) return TYPE_E_WRONGTYPEKIND;
  if (pvInstance == nullptr) return E_INVALIDARG;
  if (findMember(*type_, memid, wFlags) == nullptr) return DISP_E_MEMBERNOTFOUND;
  return static_cast<IDispatch*>(pvInstance)
      ->Invoke(memid, IID_NULL, library_->model().lcid, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
}

HRESULT TypeInfoImpl::GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                       BSTR* pBstrHelpFile) {
  if (memid == MEMBERID_NIL)
    return documentation(type_->name, type_->help, pBstrName, pBstrDocString, pdwHelpContext, pBstrHelpFile);
  for (const MemberModel& member : type_->members)
    if (member.id == memid)
      return documentation(member.name, member.help, pBstrName, pBstrDocString, pdwHelpContext, pBstrHelpFile);
  if (memid >= firstConstantId && static_cast<std::size_t>(memid - firstConstantId) < type_->constants.size())
    return documentation(type_->constants[memid - firstConstantId].name, u"", pBstrName, pBstrDocString,
                         pdwHelpContext, pBstrHelpFile);
  return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT TypeInfoImpl::GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) {
  return library_->GetTypeInfo(hRefType, ppTInfo);
}

HRESULT TypeInfoImpl::CreateInstance(IUnknown*, REFIID, void** ppvObj) {
  if (ppvObj == nullptr) return E_INVALIDARG;
  *ppvObj = nullptr;
  // Objects are created by class through the module that serves them, not
  // from their type description.
  return type_->kind == TKIND_COCLASS ? E_NOTIMPL : TYPE_E_WRONGTYPEKIND;
}

HRESULT TypeInfoImpl::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) {
  if (ppTLib != nullptr) {
    *ppTLib = library_;
    library_->AddRef();
  }
  if (pIndex != nullptr) *pIndex = index_;
  return S_OK;
}

}  // namespace

HRESULT validateLibrary(const LibraryModel& library, std::string* problem) { return Validator(library).run(problem); }

HRESULT createTypeLib(std::shared_ptr<const LibraryModel> library, ITypeLib** typeLib) {
  if (typeLib == nullptr) return E_INVALIDARG;
  *typeLib = nullptr;
  if (library == nullptr) return E_INVALIDARG;
  const HRESULT valid = validateLibrary(*library);
  if (FAILED(valid)) return valid;
  *typeLib = new (std::nothrow) TypeLibImpl(std::move(library));
  return *typeLib == nullptr ? E_OUTOFMEMORY : S_OK;
}

const TypeModel* typeModel(ITypeInfo* typeInfo) {
  auto* ours = dynamic_cast<TypeInfoImpl*>(typeInfo);
  return ours == nullptr ? nullptr : &ours->model();
}

const LibraryModel* libraryModel(ITypeLib* typeLib) {
  auto* ours = dynamic_cast<TypeLibImpl*>(typeLib);
  return ours == nullptr ? nullptr : &ours->model();
}

HRESULT idsOfNames(const TypeModel& type, LPOLESTR* names, UINT count, DISPID* ids) {
  if (names == nullptr || ids == nullptr) return E_INVALIDARG;
  if (count == 0) return S_OK;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  HRESULT result = DISP_E_UNKNOWNNAME;
  for (const MemberModel& member : type.members)
    if (names[0] != nullptr && sameName(member.name, names[0])) {
      ids[0] = member.id;
      result = S_OK;
      break;
    }
  if (FAILED(result)) return result;
  // Parameter names resolve against the first member of that name having them.
  for (UINT n = 1; n < count; ++n) {
    bool found = false;
    for (const MemberModel& member : type.members) {
      if (found || member.id != ids[0]) continue;
      for (std::size_t p = 0; p < member.callerParamCount(); ++p)
        if (names[n] != nullptr && !member.params[p].name.empty() && sameName(member.params[p].name, names[n])) {
          ids[n] = static_cast<DISPID>(p);
          found = true;
          break;
        }
    }
    if (!found) result = DISP_E_UNKNOWNNAME;
  }
  return result;
}

const MemberModel* findMember(const TypeModel& type, DISPID id, WORD invokeFlags) {
  for (const MemberModel& member : type.members)
    if (member.id == id && (member.kind & invokeFlags) != 0) return &member;
  return nullptr;
}

}  // namespace platform
