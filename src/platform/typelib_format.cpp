// The serialised form of a type library. Little-endian throughout:
//   "TVTL", u16 format version,
//   library: name, help, guid, u16 major, u16 minor, u16 flags, u32 syskind, u32 lcid, u32 count, types
//   type:    u32 kind, name, guid, help, u16 flags,
//            u32 count, members; u32 count, constants; u32 count, implemented
//   member:  name, i32 DISPID, u32 kind, u16 flags, help, u32 count, params
//   param:   name, u16 VARTYPE, u16 flags, type name
//   constant: name, i32 value;  implemented: name, i32 flags
//   text:    u32 count of UTF-16 units, the units;  guid: u32, u16, u16, 8 bytes
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/little_endian.h"
#include "platform/typelib.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

constexpr char magic[4] = {'T', 'V', 'T', 'L'};
constexpr WORD formatVersion = 1;

using Writer = LittleEndianWriter;
using Reader = MemoryReader;

void writeGuid(Writer& out, const GUID& value) {
  out.number<DWORD>(value.Data1);
  out.number<WORD>(value.Data2);
  out.number<WORD>(value.Data3);
  out.raw(value.Data4, sizeof value.Data4);
}

GUID readGuid(Reader& in) {
  GUID value{};
  value.Data1 = in.number<DWORD>();
  value.Data2 = in.number<WORD>();
  value.Data3 = in.number<WORD>();
  in.raw(value.Data4, sizeof value.Data4);
  return value;
}

// A count of elements that take at least `minimumSize` bytes each; a count
// the remaining bytes cannot hold is corrupt.
DWORD count(Reader& in, std::size_t minimumSize) {
  const DWORD value = in.number<DWORD>();
  if (in.ok() && value > in.remaining() / minimumSize) in.fail();
  return in.ok() ? value : 0;
}

// Smallest encodings, for the count checks.
constexpr std::size_t textSize = 4;
constexpr std::size_t paramSize = textSize + 4 + textSize;
constexpr std::size_t memberSize = textSize + 10 + textSize + 4;
constexpr std::size_t constantSize = textSize + 4;
constexpr std::size_t implementedSize = textSize + 4;
constexpr std::size_t typeSize = 4 + textSize + 16 + textSize + 2 + 12;

void writeType(Writer& out, const TypeModel& type) {
  out.number(static_cast<DWORD>(type.kind));
  out.text(type.name);
  writeGuid(out, type.guid);
  out.text(type.help);
  out.number<WORD>(type.flags);
  out.number(static_cast<DWORD>(type.members.size()));
  for (const MemberModel& member : type.members) {
    out.text(member.name);
    out.number<LONG>(member.id);
    out.number(static_cast<DWORD>(member.kind));
    out.number<WORD>(member.flags);
    out.text(member.help);
    out.number(static_cast<DWORD>(member.params.size()));
    for (const ParamModel& param : member.params) {
      out.text(param.name);
      out.number<WORD>(param.type);
      out.number<WORD>(param.flags);
      out.text(param.typeName);
    }
  }
  out.number(static_cast<DWORD>(type.constants.size()));
  for (const ConstantModel& constant : type.constants) {
    out.text(constant.name);
    out.number<LONG>(constant.value);
  }
  out.number(static_cast<DWORD>(type.implemented.size()));
  for (const ImplementedModel& implemented : type.implemented) {
    out.text(implemented.name);
    out.number<LONG>(implemented.flags);
  }
}

TypeModel readType(Reader& in) {
  TypeModel type;
  type.kind = static_cast<TYPEKIND>(in.number<DWORD>());
  type.name = in.text();
  type.guid = readGuid(in);
  type.help = in.text();
  type.flags = in.number<WORD>();
  for (DWORD m = count(in, memberSize); m > 0 && in.ok(); --m) {
    MemberModel member;
    member.name = in.text();
    member.id = in.number<LONG>();
    member.kind = static_cast<INVOKEKIND>(in.number<DWORD>());
    member.flags = in.number<WORD>();
    member.help = in.text();
    for (DWORD p = count(in, paramSize); p > 0 && in.ok(); --p) {
      ParamModel param;
      param.name = in.text();
      param.type = in.number<WORD>();
      param.flags = in.number<WORD>();
      param.typeName = in.text();
      member.params.push_back(std::move(param));
    }
    type.members.push_back(std::move(member));
  }
  for (DWORD c = count(in, constantSize); c > 0 && in.ok(); --c) {
    ConstantModel constant;
    constant.name = in.text();
    constant.value = in.number<LONG>();
    type.constants.push_back(std::move(constant));
  }
  for (DWORD i = count(in, implementedSize); i > 0 && in.ok(); --i) {
    ImplementedModel implemented;
    implemented.name = in.text();
    implemented.flags = in.number<LONG>();
    type.implemented.push_back(std::move(implemented));
  }
  return type;
}

}  // namespace

std::vector<BYTE> saveTypeLibrary(const LibraryModel& library) {
  Writer out;
  out.raw(magic, sizeof magic);
  out.number<WORD>(formatVersion);
  out.text(library.name);
  out.text(library.help);
  writeGuid(out, library.libid);
  out.number<WORD>(library.majorVersion);
  out.number<WORD>(library.minorVersion);
  out.number<WORD>(library.flags);
  out.number(static_cast<DWORD>(library.syskind));
  out.number<DWORD>(library.lcid);
  out.number(static_cast<DWORD>(library.types.size()));
  for (const TypeModel& type : library.types) writeType(out, type);
  return out.take();
}

HRESULT loadTypeLibrary(const BYTE* bytes, std::size_t size, LibraryModel& library) {
  if (bytes == nullptr && size > 0) return E_INVALIDARG;
  Reader in(bytes, size);
  BYTE readMagic[sizeof magic] = {};
  if (!in.raw(readMagic, sizeof readMagic) || std::memcmp(readMagic, magic, sizeof magic) != 0 ||
      in.number<WORD>() != formatVersion)
    return TYPE_E_CANTLOADLIBRARY;
  LibraryModel read;
  read.name = in.text();
  read.help = in.text();
  read.libid = readGuid(in);
  read.majorVersion = in.number<WORD>();
  read.minorVersion = in.number<WORD>();
  read.flags = in.number<WORD>();
  read.syskind = static_cast<SYSKIND>(in.number<DWORD>());
  read.lcid = in.number<DWORD>();
  for (DWORD t = count(in, typeSize); t > 0 && in.ok(); --t) read.types.push_back(readType(in));
  if (!in.atEnd() || FAILED(validateLibrary(read))) return TYPE_E_CANTLOADLIBRARY;
  library = std::move(read);
  return S_OK;
}

HRESULT loadTypeLibFromMemory(const BYTE* bytes, std::size_t size, ITypeLib** typeLib) {
  if (typeLib == nullptr) return E_INVALIDARG;
  *typeLib = nullptr;
  auto library = std::make_shared<LibraryModel>();
  const HRESULT loaded = loadTypeLibrary(bytes, size, *library);
  if (FAILED(loaded)) return loaded;
  return createTypeLib(std::move(library), typeLib);
}

DWORD writeTypeLibFile(const char* path, const LibraryModel& library) {
  if (path == nullptr) return ERROR_INVALID_PARAMETER;
  if (FAULT("writeTypeLibFile", ERROR_WRITE_FAULT)) return GetLastError();
  const std::vector<BYTE> bytes = saveTypeLibrary(library);
  UniqueFd file(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!file.valid())
    return errno == ENOENT ? ERROR_FILE_NOT_FOUND : errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_WRITE_FAULT;
  const bool written = writeAll(file.get(), bytes.data(), bytes.size());
  const bool closed = file.close();
  return written && closed ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

}  // namespace platform
