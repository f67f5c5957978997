// The SQLite file layer the hives are opened through: the system's default
// layer with every file sync counted, so that what an operation costs the
// disk can be measured from within the process.
#include <sqlite3.h>

#include <atomic>
#include <mutex>

#include "platform/hive.h"
#include "platform/registry_transaction.h"

namespace platform::hive {
namespace {

std::atomic<unsigned long> syncs{0};
sqlite3_vfs* systemVfs = nullptr;

// A file of the counting layer: the system layer's file follows it.
struct CountedFile {
  sqlite3_file base;
  sqlite3_file* real;
};

sqlite3_file* real(sqlite3_file* file) { return reinterpret_cast<CountedFile*>(file)->real; }

int countedClose(sqlite3_file* file) { return real(file)->pMethods->xClose(real(file)); }
int countedRead(sqlite3_file* file, void* data, int amount, sqlite3_int64 offset) {
  return real(file)->pMethods->xRead(real(file), data, amount, offset);
}
int countedWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
  return real(file)->pMethods->xWrite(real(file), data, amount, offset);
}
int countedTruncate(sqlite3_file* file, sqlite3_int64 size) { return real(file)->pMethods->xTruncate(real(file), size); }
int countedSync(sqlite3_file* file, int flags) {
  ++syncs;
  return real(file)->pMethods->xSync(real(file), flags);
}
int countedFileSize(sqlite3_file* file, sqlite3_int64* size) { return real(file)->pMethods->xFileSize(real(file), size); }
int countedLock(sqlite3_file* file, int level) { return real(file)->pMethods->xLock(real(file), level); }
int countedUnlock(sqlite3_file* file, int level) { return real(file)->pMethods->xUnlock(real(file), level); }
int countedCheckReservedLock(sqlite3_file* file, int* reserved) {
  return real(file)->pMethods->xCheckReservedLock(real(file), reserved);
}
int countedFileControl(sqlite3_file* file, int operation, void* argument) {
  return real(file)->pMethods->xFileControl(real(file), operation, argument);
}
int countedSectorSize(sqlite3_file* file) { return real(file)->pMethods->xSectorSize(real(file)); }
int countedDeviceCharacteristics(sqlite3_file* file) {
  return real(file)->pMethods->xDeviceCharacteristics(real(file));
}
int countedShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** mapped) {
  return real(file)->pMethods->xShmMap(real(file), region, size, extend, mapped);
}
int countedShmLock(sqlite3_file* file, int offset, int count, int flags) {
  return real(file)->pMethods->xShmLock(real(file), offset, count, flags);
}
void countedShmBarrier(sqlite3_file* file) { real(file)->pMethods->xShmBarrier(real(file)); }
int countedShmUnmap(sqlite3_file* file, int deleteFlag) {
  return real(file)->pMethods->xShmUnmap(real(file), deleteFlag);
}
int countedFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** page) {
  return real(file)->pMethods->xFetch(real(file), offset, amount, page);
}
int countedUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
  return real(file)->pMethods->xUnfetch(real(file), offset, page);
}

const sqlite3_io_methods countedMethods = {
    3,
    countedClose,
    countedRead,
    countedWrite,
    countedTruncate,
    countedSync,
    countedFileSize,
    countedLock,
    countedUnlock,
    countedCheckReservedLock,
    countedFileControl,
    countedSectorSize,
    countedDeviceCharacteristics,
    countedShmMap,
    countedShmLock,
    countedShmBarrier,
    countedShmUnmap,
    countedFetch,
    countedUnfetch,
};

int countedOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  auto* counted = reinterpret_cast<CountedFile*>(file);
  counted->real = reinterpret_cast<sqlite3_file*>(counted + 1);
  const int rc = systemVfs->xOpen(systemVfs, name, counted->real, flags, outFlags);
  counted->base.pMethods = counted->real->pMethods != nullptr ? &countedMethods : nullptr;
  return rc;
}

}  // namespace

const char* countedVfsName() {
  static constexpr const char* kName = "tarvenholm-counted";
  static sqlite3_vfs counted;
  static std::once_flag registered;
  std::call_once(registered, [] {
    systemVfs = sqlite3_vfs_find(nullptr);
    counted = *systemVfs;
    counted.zName = kName;
    counted.szOsFile = static_cast<int>(sizeof(CountedFile)) + systemVfs->szOsFile;
    counted.xOpen = countedOpen;
    counted.pNext = nullptr;
    sqlite3_vfs_register(&counted, 0);
  });
  return kName;
}

}  // namespace platform::hive

unsigned long platform::hiveSyncCount() { return platform::hive::syncs.load(); }
