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
#include "platform/typelib.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

constexpr char magic[4] = {'T', 'V', 'T', 'L'};
constexpr WORD formatVersion = 1;

class Writer {
 public:
  void u16(WORD value) { unsigned_(value, 2); }
  void u32(DWORD value) { unsigned_(value, 4); }
  void i32(LONG value) { u32(static_cast<DWORD>(value)); }
  void text(const std::u16string& value) {
    u32(static_cast<DWORD>(value.size()));
    for (char16_t c : value) u16(c);
  }
  void guid(const GUID& value) {
    u32(value.Data1);
    u16(value.Data2);
    u16(value.Data3);
    bytes_.insert(bytes_.end(), value.Data4, value.Data4 + 8);
  }
  void raw(const char* data, std::size_t size) { bytes_.insert(bytes_.end(), data, data + size); }
  std::vector<BYTE> take() { return std::move(bytes_); }

 private:
  void unsigned_(DWORD value, int size) {
    for (int i = 0; i < size; ++i) bytes_.push_back(static_cast<BYTE>(value >> (8 * i)));
  }
  std::vector<BYTE> bytes_;
};

// Every read checks the remaining length; after the first failure all reads
// fail and return zeros.
class Reader {
 public:
  Reader(const BYTE* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

  bool ok() const { return ok_; }
  bool atEnd() const { return at_ == size_; }

  WORD u16() { return static_cast<WORD>(unsigned_(2)); }
  DWORD u32() { return unsigned_(4); }
  LONG i32() { return static_cast<LONG>(u32()); }
  std::u16string text() {
    const DWORD length = u32();
    if (!fits(std::size_t{length} * 2)) return {};
    std::u16string value(length, u'\0');
    for (char16_t& c : value) c = u16();
    return value;
  }
  GUID guid() {
    GUID value{};
    value.Data1 = u32();
    value.Data2 = u16();
    value.Data3 = u16();
    if (fits(8)) {
      std::memcpy(value.Data4, bytes_ + at_, 8);
      at_ += 8;
    }
    return value;
  }
  bool expect(const char* data, std::size_t size) {
    if (!fits(size) || std::memcmp(bytes_ + at_, data, size) != 0) return ok_ = false;
    at_ += size;
    return true;
  }
  // A count of elements that take at least `minimumSize` bytes each; a count
  // the remaining bytes cannot hold is corrupt.
  DWORD count(std::size_t minimumSize) {
    const DWORD value = u32();
    if (ok_ && value > (size_ - at_) / minimumSize) ok_ = false;
    return ok_ ? value : 0;
  }

 private:
  bool fits(std::size_t size) {
    if (ok_ && size <= size_ - at_) return true;
    ok_ = false;
    return false;
  }
  DWORD unsigned_(int size) {
    if (!fits(static_cast<std::size_t>(size))) return 0;
    DWORD value = 0;
    for (int i = 0; i < size; ++i) value |= DWORD{bytes_[at_ + i]} << (8 * i);
    at_ += static_cast<std::size_t>(size);
    return value;
  }

  const BYTE* bytes_;
  std::size_t size_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

// Smallest encodings, for the count checks.
constexpr std::size_t textSize = 4;
constexpr std::size_t paramSize = textSize + 4 + textSize;
constexpr std::size_t memberSize = textSize + 10 + textSize + 4;
constexpr std::size_t constantSize = textSize + 4;
constexpr std::size_t implementedSize = textSize + 4;
constexpr std::size_t typeSize = 4 + textSize + 16 + textSize + 2 + 12;

void writeType(Writer& out, const TypeModel& type) {
  out.u32(static_cast<DWORD>(type.kind));
  out.text(type.name);
  out.guid(type.guid);
  out.text(type.help);
  out.u16(type.flags);
  out.u32(static_cast<DWORD>(type.members.size()));
  for (const MemberModel& member : type.members) {
    out.text(member.name);
    out.i32(member.id);
    out.u32(static_cast<DWORD>(member.kind));
    out.u16(member.flags);
    out.text(member.help);
    out.u32(static_cast<DWORD>(member.params.size()));
    for (const ParamModel& param : member.params) {
      out.text(param.name);
      out.u16(param.type);
      out.u16(param.flags);
      out.text(param.typeName);
    }
  }
  out.u32(static_cast<DWORD>(type.constants.size()));
  for (const ConstantModel& constant : type.constants) {
    out.text(constant.name);
    out.i32(constant.value);
  }
  out.u32(static_cast<DWORD>(type.implemented.size()));
  for (const ImplementedModel& implemented : type.implemented) {
    out.text(implemented.name);
    out.i32(implemented.flags);
  }
}

TypeModel readType(Reader& in) {
  TypeModel type;
  type.kind = static_cast<TYPEKIND>(in.u32());
  type.name = in.text();
  type.guid = in.guid();
  type.help = in.text();
  type.flags = in.u16();
  for (DWORD m = in.count(memberSize); m > 0 && in.ok(); --m) {
    MemberModel member;
    member.name = in.text();
    member.id = in.i32();
    member.kind = static_cast<INVOKEKIND>(in.u32());
    member.flags = in.u16();
    member.help = in.text();
    for (DWORD p = in.count(paramSize); p > 0 && in.ok(); --p) {
      ParamModel param;
      param.name = in.text();
      param.type = in.u16();
      param.flags = in.u16();
      param.typeName = in.text();
      member.params.push_back(std::move(param));
    }
    type.members.push_back(std::move(member));
  }
  for (DWORD c = in.count(constantSize); c > 0 && in.ok(); --c) {
    ConstantModel constant;
    constant.name = in.text();
    constant.value = in.i32();
    type.constants.push_back(std::move(constant));
  }
  for (DWORD i = in.count(implementedSize); i > 0 && in.ok(); --i) {
    ImplementedModel implemented;
    implemented.name = in.text();
    implemented.flags = in.i32();
    type.implemented.push_back(std::move(implemented));
  }
  return type;
}

}  // namespace

std::vector<BYTE> saveTypeLibrary(const LibraryModel& library) {
  Writer out;
  out.raw(magic, sizeof magic);
  out.u16(formatVersion);
  out.text(library.name);
  out.text(library.help);
  out.guid(library.libid);
  out.u16(library.majorVersion);
  out.u16(library.minorVersion);
  out.u16(library.flags);
  out.u32(static_cast<DWORD>(library.syskind));
  out.u32(library.lcid);
  out.u32(static_cast<DWORD>(library.types.size()));
  for (const TypeModel& type : library.types) writeType(out, type);
  return out.take();
}

HRESULT loadTypeLibrary(const BYTE* bytes, std::size_t size, LibraryModel& library) {
  if (bytes == nullptr && size > 0) return E_INVALIDARG;
  Reader in(bytes, size);
  if (!in.expect(magic, sizeof magic) || in.u16() != formatVersion) return TYPE_E_CANTLOADLIBRARY;
  LibraryModel read;
  read.name = in.text();
  read.help = in.text();
  read.libid = in.guid();
  read.majorVersion = in.u16();
  read.minorVersion = in.u16();
  read.flags = in.u16();
  read.syskind = static_cast<SYSKIND>(in.u32());
  read.lcid = in.u32();
  for (DWORD t = in.count(typeSize); t > 0 && in.ok(); --t) read.types.push_back(readType(in));
  if (!in.ok() || !in.atEnd() || FAILED(validateLibrary(read))) return TYPE_E_CANTLOADLIBRARY;
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
