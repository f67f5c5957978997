// One registry hive: a SQLite file shared by every process that uses it.
//
// Layout (schema version 1):
//   reg_keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent, name, folded_name, folded_path UNIQUE)
//     one row per key; the hive's root is the row whose folded_path is "".
//     name keeps the case first written; folded_name/folded_path are the
//     upper-cased name and the upper-cased path from the root ("A\B\C"), so
//     lookups by path use the unique index and enumeration orders by
//     (parent, folded_name). AUTOINCREMENT keeps ids of deleted keys unused,
//     which is how a handle notices that its key was deleted.
//   reg_values(key, folded_name, name, type, data) primary key (key, folded_name).
//
// Every operation runs inside Hive::transact: one SQLite transaction (BEGIN
// IMMEDIATE when it writes), retried while another process holds the lock,
// or one savepoint of the registry transaction (registry_transaction.h)
// that holds the hive. Inside a transaction SQLite failures are thrown as
// HiveFailure and come out of transact as an error number.
//
// The user's hive and the home's machine hive use a write-ahead log with
// synchronous=FULL (one sync per commit; readers never wait for the
// writer); a machine hive an administrator shares with users who may only
// read it keeps its file's journal mode. A hive the process may only read
// is opened read-only, and when it is logged but has no log file beside
// it, as an immutable file.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"
#include "platform/wintypes.h"

namespace platform::hive {

using KeyId = std::int64_t;

// A SQLite failure inside a transaction; transact turns it into an error number.
struct HiveFailure {
  int sqliteCode;
};

// Upper-cases ASCII letters: key and value names compare this way.
std::string fold(std::string_view name);

struct KeyRow {
  KeyId id = 0;
  std::string foldedPath;
};

struct ValueRow {
  std::string name;
  DWORD type = 0;
  std::vector<BYTE> data;
};

// Which state of a part of a hive a reader saw: two stamps of one part are
// equal only if nothing changed it in between.
struct ChangeStamp {
  std::uint64_t connection = 0;   // the connection object, unique in the process
  std::uint64_t ownChanges = 0;   // its latest write to the part
  std::uint64_t rollbacks = 0;    // its rollbacks, which may undo any write
  std::int64_t otherCommits = 0;  // SQLite's data_version: other connections' commits
  bool operator==(const ChangeStamp&) const = default;
};

// A prepared statement from the hive's cache, reset when the object dies.
class Statement {
 public:
  explicit Statement(sqlite3_stmt* statement) : statement_(statement) {}
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, std::string_view text);
  Statement& bindBlob(int index, const void* data, std::size_t size);
  // True while there is a row; throws on failure.
  bool step();
  std::int64_t integer(int column) const;
  std::string text(int column) const;
  std::vector<BYTE> blob(int column) const;

 private:
  sqlite3_stmt* statement_;
};

class Hive {
 public:
  enum class Kind { Machine, User };

  // The process's connection to the hive file at `path`, opened (and the
  // file created with mode 0600) when needed. Null with `status` set (and
  // the failure recorded, home.h) when the file can be neither opened nor
  // created, is not safe to keep keys in, or was written by a newer version.
  static std::shared_ptr<Hive> open(const std::string& path, Kind kind, LSTATUS& status);

  ~Hive();
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  const std::string& path() const { return path_; }
  // False when the process may not write the file, and why not:
  // ERROR_ACCESS_DENIED, or ERROR_DISK_FULL for a hive opened to be read
  // while its device has no space left.
  bool writable() const { return writable_; }
  LSTATUS whyReadOnly() const { return whyReadOnly_; }
  bool ownedByThisProcess() const { return owner_ == ::getpid(); }
  // False once the file at path() is another file than the one opened.
  bool stillAtPath() const;
  KeyId rootId() const { return rootId_; }

  // Runs `work` as one transaction and returns its status; a failing status
  // rolls a write back. Busy locks are waited out and retried. Inside a
  // held write transaction (below) a write's `work` is one savepoint of it
  // instead, and a read's runs in it as it is.
  enum class Access { Read, Write };
  LSTATUS transact(Access access, const std::function<LSTATUS()>& work);

  // A write transaction spanning many calls, for a registry transaction:
  // begun (other writers waited out) and held by the calling thread, whose
  // calls then run inside it while other threads wait, until it ends with a
  // commit or a rollback.
  LSTATUS holdWriteTransaction();
  LSTATUS endWriteTransaction(bool commit);

  // The state as of now of the keys at and below `foldedPath`, for a reader
  // that keeps what it read until they change; nullopt when it cannot be
  // told (a lock held too long), and the reader then reads afresh.
  std::optional<ChangeStamp> changeStamp(const std::string& foldedPath);

  // Key and value operations, for use inside transact.
  std::optional<KeyRow> findKey(const std::string& foldedPath);
  bool keyExists(KeyId id);
  // Creates `path` (names separated by "\") below the key `base`, every
  // missing key on the way; `created` tells whether the last one was new.
  KeyRow createPath(const KeyRow& base, const std::vector<std::string_view>& names, bool& created);
  // Sub-key names in the order of their folded names; nullopt past the end.
  // subKeyAfter continues an enumeration from the folded name of the
  // previous sub-key, so walking n sub-keys costs n index seeks, not n^2/2
  // skipped rows. `folded` receives the folded name of the one returned.
  std::optional<std::string> subKeyAt(KeyId key, std::int64_t index, std::string& folded);
  std::optional<std::string> subKeyAfter(KeyId key, const std::string& previousFolded, std::string& folded);
  bool hasSubKeys(KeyId key);
  void deleteKey(const KeyRow& key);

  std::optional<ValueRow> value(KeyId key, std::string_view name);
  std::optional<ValueRow> valueAt(KeyId key, std::int64_t index);
  void setValue(const KeyRow& key, std::string_view name, DWORD type, const BYTE* data, std::size_t size);
  bool deleteValue(const KeyRow& key, std::string_view name);

  // A statement from the cache; `sql` must be a string literal (the cache
  // is keyed by its address).
  Statement statement(const char* sql);
  void execute(const char* sql);

 private:
  Hive(std::string path, sqlite3* db, bool writable, dev_t device, ino_t inode);
  // Opens `path` (which must still be the file `opened`) through SQLite.
  static std::shared_ptr<Hive> connect(const std::string& path, Kind kind, bool writable, bool immutable,
                                       const UniqueFd& opened, LSTATUS& status);
  void prepareSchema(Kind kind);
  // Runs `begin`, waiting out other processes' locks.
  void beginWaiting(const char* begin);
  LSTATUS inSavepoint(Access access, const std::function<LSTATUS()>& work);
  // Undoes and ends the savepoint of a registry call that failed.
  void undoRegistryCall() noexcept;
  // True when the file's schema is newer than this program knows.
  bool newerSchema();
  // The error number for a SQLite failure on the file, recorded with the
  // file's name (home.h) so that a host can say which file failed and how.
  LSTATUS failed(int sqliteCode, bool writing) const;

  std::string path_;
  sqlite3* db_;
  bool writable_;
  LSTATUS whyReadOnly_;
  pid_t owner_;
  dev_t device_;
  ino_t inode_;
  // The registry transaction within which the file was last found at path()
  // (RegistryTransaction::currentSerial); guarded by open()'s cache lock.
  std::uint64_t checkedInOperation_ = 0;
  // The descriptor the file was checked through, closed after the connection.
  std::optional<UniqueFd> checkedFile_;
  KeyId rootId_ = 0;
  // Records a write to the key at `foldedPath` for changeStamp, and a
  // rollback, which matters when it undid writes made since
  // `changesBefore` (ownChanges_ then).
  void noteChange(const std::string& foldedPath);
  void noteRollback(std::uint64_t changesBefore);
  std::uint64_t connection_;
  // This connection's writes (a count), the latest by the first two names
  // of the written key's path, and its rollbacks.
  std::uint64_t ownChanges_ = 0;
  std::map<std::string, std::uint64_t> latestChangeByArea_;
  std::uint64_t rollbacks_ = 0;
  // data_version as changeStamp last read it, and the operation it read it in.
  std::int64_t otherCommits_ = 0;
  std::uint64_t otherCommitsReadIn_ = 0;
  std::uint64_t changesAtHold_ = 0;
  // Held for each call, and by a held write transaction until it ends.
  std::recursive_mutex mutex_;
  bool held_ = false;
  std::map<const char*, sqlite3_stmt*> statements_;
};

// Adds the provider catalogue to a writable machine hive that lacks it.
void seedProviderCatalogue(Hive& hive);

// The error number for a SQLite result code.
LSTATUS statusForSqlite(int sqliteCode);

// The name of the SQLite file layer that counts syncs (hive_vfs.cpp).
const char* countedVfsName();

}  // namespace platform::hive
