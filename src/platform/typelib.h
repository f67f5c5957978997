// Type libraries: a model of a library in plain data, the ITypeLib and
// ITypeInfo objects that serve it, and its serialised form.
//
// The model is the one description of an automation interface. Dispatch
// (platform/dispatch.h) reads DISPIDs, member kinds, parameter names, flags
// and types from it; registration reads the library identifier, version and
// help strings from it through ITypeLib; the serialised bytes are what a
// module carries and what a .tlb file holds.
//
// Interfaces are TKIND_DISPATCH types. A dual interface carries
// TYPEFLAG_FDUAL: its members are also the slots of its function table,
// in member order, after the seven slots of IUnknown and IDispatch. A
// dispatch-only interface (an event interface, say) has no function table;
// its members are still listed in a fixed order, which bindings use.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/oleauto.h"

// A module carries its type library, in the serialised form, in this
// section of its file, which is not mapped when the module is loaded:
// LoadTypeLib reads it from the file, without running the module's code.
// This stands in for the original platform's resource 1 of type "TYPELIB".
#define PLATFORM_TYPELIB_SECTION ".typelib"

// Embeds the serialised library in the file `path` (a string literal,
// typically passed in by the build) in the module being compiled. Written
// once, at namespace scope, in one source file of the module.
#define PLATFORM_EMBED_TYPELIB(path)                                     \
  asm(".pushsection " PLATFORM_TYPELIB_SECTION ",\"\",%progbits\n" \
      ".incbin \"" path "\"\n"                                      \
      ".popsection\n")

namespace platform {

struct ParamModel {
  std::u16string name;      // may be empty (the value of a property put)
  VARTYPE type = VT_EMPTY;  // the value's type; an [out] parameter points at one
  USHORT flags = PARAMFLAG_FIN;
  std::u16string typeName;  // documentation only: "OLE_COLOR", an enumeration's name
};

struct MemberModel {
  std::u16string name;
  DISPID id = DISPID_UNKNOWN;
  INVOKEKIND kind = INVOKE_FUNC;
  std::vector<ParamModel> params;  // an [out, retval] parameter comes last
  WORD flags = 0;                  // FUNCFLAG_*, e.g. FUNCFLAG_FHIDDEN
  std::u16string help;

  bool hasRetval() const { return !params.empty() && (params.back().flags & PARAMFLAG_FRETVAL) != 0; }
  // The parameters a caller passes: all but an [out, retval] one.
  std::size_t callerParamCount() const { return params.size() - (hasRetval() ? 1 : 0); }
};

struct ConstantModel {
  std::u16string name;
  LONG value = 0;
};

struct ImplementedModel {
  std::u16string name;  // an interface of the same library
  INT flags = 0;        // IMPLTYPEFLAG_*
};

struct TypeModel {
  TYPEKIND kind = TKIND_DISPATCH;  // TKIND_DISPATCH, TKIND_ENUM or TKIND_COCLASS
  std::u16string name;
  GUID guid = GUID_NULL;
  std::u16string help;
  WORD flags = 0;                          // TYPEFLAG_*
  std::vector<MemberModel> members;        // interfaces: in slot order
  std::vector<ConstantModel> constants;    // enumerations
  std::vector<ImplementedModel> implemented;  // classes
};

struct LibraryModel {
  std::u16string name;
  std::u16string help;
  GUID libid = GUID_NULL;
  WORD majorVersion = 1;
  WORD minorVersion = 0;
  WORD flags = 0;  // LIBFLAG_*
  SYSKIND syskind = SYS_WIN32;
  LCID lcid = LOCALE_NEUTRAL;
  std::vector<TypeModel> types;  // their index in the library is their position here
};

// Checks that a library makes sense: names present and unique, identifiers
// unique, members of one name sharing one DISPID, property gets ending in an
// [out, retval] parameter, puts taking their value last, retval only last,
// supported types, classes naming interfaces of the library. Returns S_OK, or
// TYPE_E_INVDATAREAD with the first problem in `problem`.
HRESULT validateLibrary(const LibraryModel& library, std::string* problem = nullptr);

// An ITypeLib serving a validated copy of `library`.
HRESULT createTypeLib(std::shared_ptr<const LibraryModel> library, ITypeLib** typeLib);

// The model behind a type information object of this runtime (null for any
// other object).
const TypeModel* typeModel(ITypeInfo* typeInfo);
const LibraryModel* libraryModel(ITypeLib* typeLib);

// The serialised form: a header ("TVTL", format version), then the library
// with its strings in UTF-16. Reading checks every length and the result with
// validateLibrary; TYPE_E_CANTLOADLIBRARY for bytes that are not a library.
std::vector<BYTE> saveTypeLibrary(const LibraryModel& library);
HRESULT loadTypeLibrary(const BYTE* bytes, std::size_t size, LibraryModel& library);
// loadTypeLibrary and createTypeLib in one step.
HRESULT loadTypeLibFromMemory(const BYTE* bytes, std::size_t size, ITypeLib** typeLib);
// Writes the serialised form to a file (mode 0644); a Win32 error number.
DWORD writeTypeLibFile(const char* path, const LibraryModel& library);

// The serialised library a file holds: a module's embedded library (the
// section PLATFORM_TYPELIB_SECTION of an ELF file), else the whole file as a
// .tlb. A Win32 error number (those of readModuleSection for a module).
DWORD readTypeLibFile(const char* path, std::vector<BYTE>& bytes);

// Member lookup shared by ITypeInfo and dispatch: names compare ignoring
// ASCII case; the first name is a member, the others its parameters, whose
// DISPIDs are their positions. Unknown names get DISPID_UNKNOWN and the
// result DISP_E_UNKNOWNNAME.
HRESULT idsOfNames(const TypeModel& type, LPOLESTR* names, UINT count, DISPID* ids);
// The first member with this DISPID whose kind is among `invokeFlags`, or null.
const MemberModel* findMember(const TypeModel& type, DISPID id, WORD invokeFlags);

}  // namespace platform
