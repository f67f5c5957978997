#include "platform/hive.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <random>
#include <thread>

#include "platform/application.h"
#include "platform/home.h"
#include "platform/lasterror.h"
#include "platform/registry_transaction.h"
#include "platform/unique_fd.h"

namespace platform::hive {

namespace {

// One wait of SQLite's busy handler, and how long a call keeps retrying
// before it gives up on a lock that another process does not release.
constexpr int kBusyTimeoutMs = 5000;
constexpr auto kBusyDeadline = std::chrono::seconds(60);
constexpr int kSchemaVersion = 1;

bool isBusy(int sqliteCode) {
  const int primary = sqliteCode & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// Schema of a hive in the given SQLite schema ("main", or "temp" to give an
// empty read-only file the shape of an empty hive).
std::string schemaScript(const std::string& schema) {
  return "CREATE TABLE IF NOT EXISTS " + schema +
         ".reg_keys("
         " id INTEGER PRIMARY KEY AUTOINCREMENT,"
         " parent INTEGER,"
         " name TEXT NOT NULL,"
         " folded_name TEXT NOT NULL,"
         " folded_path TEXT NOT NULL UNIQUE);"
         "CREATE INDEX IF NOT EXISTS " +
         schema +
         ".reg_keys_children ON reg_keys(parent, folded_name);"
         "CREATE TABLE IF NOT EXISTS " +
         schema +
         ".reg_values("
         " key INTEGER NOT NULL,"
         " folded_name TEXT NOT NULL,"
         " name TEXT NOT NULL,"
         " type INTEGER NOT NULL,"
         " data BLOB NOT NULL,"
         " PRIMARY KEY(key, folded_name)) WITHOUT ROWID;"
         "INSERT OR IGNORE INTO " +
         schema + ".reg_keys(parent, name, folded_name, folded_path) VALUES(NULL, '', '', '');";
}

bool insideHome(const std::string& path) {
  const std::string home = homeDirectory() + "/";
  return path.compare(0, home.size(), home) == 0;
}

// The file: address of `path` opened as a file no process changes.
std::string immutableUri(const std::string& path) {
  std::string uri = "file:";
  for (const char c : path) {
    if (c == '?' || c == '#' || c == '%') {
      static constexpr char kHex[] = "0123456789ABCDEF";
      uri += '%';
      uri += kHex[static_cast<unsigned char>(c) >> 4];
      uri += kHex[c & 0xf];
    } else {
      uri += c;
    }
  }
  return uri + "?immutable=1";
}

// The user's hive and the machine hive of the home (not one named by
// TARVENHOLM_MACHINE_HIVE) are private to the user: mode 0600 in a home
// only the user may enter.
bool privateToUser(const std::string& path, Hive::Kind kind) {
  return kind == Hive::Kind::User || path == homeDirectory() + "/machine.hive";
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool emptyOrMissing(const std::string& path) {
  struct stat file {};
  return ::stat(path.c_str(), &file) != 0 || file.st_size == 0;
}

// Notice shown when the mode of a hive of the user's own was repaired.
void noticeRepairedMode(const std::string& path, mode_t mode) {
  char text[64];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  const std::string notice = "The file " + path + " could be read or written by other users (mode " + text +
                             "); its mode is now 0600.";
  applicationMessageBox(notice.c_str(), "Tarvenholm", MB_OK | MB_ICONINFORMATION);
}

// The hive file, created when missing, never through a symbolic link; the
// error number for errno when it cannot be opened.
UniqueFd openHiveFile(const std::string& path, bool& writable, LSTATUS& status) {
  const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  UniqueFd readWrite(::open(path.c_str(), O_RDWR | O_CREAT | flags, 0600));
  writable = readWrite.valid();
  if (writable) return readWrite;
  if (errno == EACCES || errno == EPERM || errno == EROFS) {
    UniqueFd readOnly(::open(path.c_str(), O_RDONLY | flags));  // not ours to write: readable at best
    if (readOnly.valid()) return readOnly;
  }
  status = static_cast<LSTATUS>(errno == ENOENT ? ERROR_FILE_NOT_FOUND : errorForErrno(errno));
  return UniqueFd(-1);
}

// Makes sure the opened hive file (new files get mode 0600 before SQLite
// sees them, and SQLite gives its journal the same mode) is safe to
// keep keys in: a regular file, not a symbolic link, the user's own, closed
// to other users. A hive in the home is the user's alone: a wider mode of the
// user's own file is repaired. A machine hive elsewhere is an
// administrator's: root or the user may own it, others may read it, no one
// else may write it. `writable` tells whether this process may change the
// file: it must be able to write the file and, for the journal, its
// directory.
LSTATUS prepareFile(const std::string& path, bool& writable, const UniqueFd& fd) {
  const bool inHome = insideHome(path);
  struct stat file {};
  if (::fstat(fd.get(), &file) != 0) return static_cast<LSTATUS>(errorForErrno(errno));
  if (!S_ISREG(file.st_mode)) return ERROR_BAD_FILE_TYPE;
  const bool ours = file.st_uid == ::geteuid();
  if (!ours && (inHome || file.st_uid != 0)) return ERROR_INVALID_OWNER;
  if (inHome && (file.st_mode & 077) != 0) {
    if (::fchmod(fd.get(), 0600) != 0) return static_cast<LSTATUS>(errorForErrno(errno));
    noticeRepairedMode(path, file.st_mode);
  } else if ((file.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return ERROR_INVALID_SECURITY_DESCR;
  }
  if (writable) writable = ::faccessat(AT_FDCWD, directoryOf(path).c_str(), W_OK, AT_EACCESS) == 0;
  return ERROR_SUCCESS;
}

}  // namespace

std::string fold(std::string_view name) {
  std::string folded(name);
  for (char& c : folded)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return folded;
}

LSTATUS statusForSqlite(int sqliteCode) {
  switch (sqliteCode & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_BUSY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_ERROR:
    case SQLITE_SCHEMA:
      return ERROR_BADDB;
    case SQLITE_NOMEM:
      return ERROR_OUTOFMEMORY;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_CANTOPEN:
      return ERROR_CANTOPEN;
    default:
      return ERROR_REGISTRY_IO_FAILED;
  }
}

Statement::~Statement() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

Statement& Statement::bind(int index, std::int64_t value) {
  const int rc = sqlite3_bind_int64(statement_, index, value);
  if (rc != SQLITE_OK) throw HiveFailure{rc};
  return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
  const int rc = sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) throw HiveFailure{rc};
  return *this;
}

Statement& Statement::bindBlob(int index, const void* data, std::size_t size) {
  // A null pointer would bind SQL NULL; an empty value is an empty blob.
  const int rc = sqlite3_bind_blob(statement_, index, size != 0 ? data : "", static_cast<int>(size), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) throw HiveFailure{rc};
  return *this;
}

bool Statement::step() {
  const int rc = sqlite3_step(statement_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw HiveFailure{rc};
}

std::int64_t Statement::integer(int column) const { return sqlite3_column_int64(statement_, column); }

std::string Statement::text(int column) const {
  const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
  return bytes != nullptr ? std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
                          : std::string();
}

std::vector<BYTE> Statement::blob(int column) const {
  const auto* bytes = static_cast<const BYTE*>(sqlite3_column_blob(statement_, column));
  const int size = sqlite3_column_bytes(statement_, column);
  return bytes != nullptr ? std::vector<BYTE>(bytes, bytes + size) : std::vector<BYTE>();
}

std::shared_ptr<Hive> Hive::open(const std::string& path, Kind kind, LSTATUS& status) {
  // One connection per hive file and process, shared by every handle of it.
  static std::mutex cacheMutex;
  static std::map<std::string, std::weak_ptr<Hive>> cache;
  // The logged hive of each kind this process last used stays open
  // between handles: closing the last connection to a logged hive
  // checkpoints the log into the file and deletes it, which costs more
  // syncs than the operation's own commit. It is closed when another takes
  // its place, or at exit.
  static std::shared_ptr<Hive> keptHives[2];
  std::lock_guard<std::mutex> lock(cacheMutex);
  const auto keep = [kind, &path](const std::shared_ptr<Hive>& hive) {
    if (hive->writable() && privateToUser(path, kind)) keptHives[kind == Kind::User ? 1 : 0] = hive;
    return hive;
  };
  // Within one operation the file at the path is checked once: the
  // operation works on one file from its first call to its commit, and
  // its many registry calls do not each pay for a look at the disk.
  const std::uint64_t operation = RegistryTransaction::currentSerial();
  if (auto cached = cache[path].lock(); cached && cached->ownedByThisProcess() &&
                                        ((operation != 0 && cached->checkedInOperation_ == operation) ||
                                         cached->stillAtPath())) {
    cached->checkedInOperation_ = operation;
    status = ERROR_SUCCESS;
    return keep(cached);
  }

  bool writable = true;
  if (insideHome(path) && !ensureHomeDirectory()) {
    status = static_cast<LSTATUS>(GetLastError());
    return nullptr;
  }
  UniqueFd opened = openHiveFile(path, writable, status);
  if (opened.valid()) status = prepareFile(path, writable, opened);
  std::shared_ptr<Hive> hive;
  if (status == ERROR_SUCCESS) hive = connect(path, kind, writable, false, opened, status);
  // A logged hive this process may only read needs the writer's
  // shared-memory file, which it cannot make when no writer is there: with
  // no log beside it, the file alone holds every change and reads as
  // immutable.
  if (hive == nullptr && status != ERROR_REVISION_MISMATCH && opened.valid() && !writable &&
      ::access((path + "-wal").c_str(), F_OK) != 0)
    hive = connect(path, kind, false, true, opened, status);
  // On a full device a logged hive cannot get its shared-memory file. With
  // nothing in its log the file alone holds every change: it is read as
  // immutable, so that what only reads still works, and writes are refused
  // for the lack of space.
  if (hive == nullptr && status == ERROR_DISK_FULL && opened.valid() && emptyOrMissing(path + "-wal")) {
    hive = connect(path, kind, false, true, opened, status);
    if (hive != nullptr) hive->whyReadOnly_ = ERROR_DISK_FULL;
  }
  if (hive == nullptr) {
    recordStateFailure(path, static_cast<DWORD>(status));
    return nullptr;
  }
  // Closing a descriptor of the file drops every lock this process holds on
  // it, SQLite's included: it stays open as long as the connection.
  hive->checkedFile_.emplace(std::move(opened));
  clearStateFailure();
  std::erase_if(cache, [](const auto& entry) { return entry.second.expired(); });
  hive->checkedInOperation_ = operation;
  cache[path] = hive;
  return keep(hive);
}

std::shared_ptr<Hive> Hive::connect(const std::string& path, Kind kind, bool writable, bool immutable,
                                    const UniqueFd& opened, LSTATUS& status) {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_NOFOLLOW |
                    (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY | (immutable ? SQLITE_OPEN_URI : 0));
  const std::string name = immutable ? immutableUri(path) : path;
  const int rc = sqlite3_open_v2(name.c_str(), &db, flags, countedVfsName());
  if (rc != SQLITE_OK) {
    sqlite3_close(db);
    status = statusForSqlite(rc);
    return nullptr;
  }
  if (sqlite3_db_readonly(db, "main") == 1) writable = false;
  // The file checked above is the one SQLite opened, not one put in its place since.
  struct stat checked {};
  struct stat now {};
  if (::fstat(opened.get(), &checked) != 0 || ::lstat(path.c_str(), &now) != 0 || checked.st_dev != now.st_dev ||
      checked.st_ino != now.st_ino) {
    sqlite3_close(db);
    status = ERROR_STOPPED_ON_SYMLINK;
    return nullptr;
  }
  std::shared_ptr<Hive> hive(new Hive(path, db, writable, checked.st_dev, checked.st_ino));
  if (hive->newerSchema()) {
    status = ERROR_REVISION_MISMATCH;
    return nullptr;
  }
  // A hive only this user reads keeps a write-ahead log: one sync per
  // commit instead of the rollback journal's four. A machine hive that an
  // administrator shares keeps the journal mode its file has (a rollback
  // journal unless the administrator chose otherwise), so users who may
  // only read it need no file beside it. Without the log (another process
  // holding the file in the old mode) a hive works on, with more syncs.
  // The log outlives the connection: copying it into the file when the
  // process ends would cost two more syncs per hive and process; SQLite
  // copies it when it grows past its checkpoint size instead.
  if (writable && privateToUser(path, kind)) {
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  }
  // Read first: only a hive still without its schema or catalogue is
  // written, so opening a hive in use neither waits for its writer nor
  // changes it.
  status = hive->transact(Access::Read, [&]() -> LSTATUS {
    hive->prepareSchema(kind);
    return hive->rootId_ != 0 ? ERROR_SUCCESS : ERROR_BADDB;
  });
  return status == ERROR_SUCCESS ? hive : nullptr;
}

Hive::Hive(std::string path, sqlite3* db, bool writable, dev_t device, ino_t inode)
    : path_(std::move(path)),
      db_(db),
      writable_(writable),
      whyReadOnly_(ERROR_ACCESS_DENIED),
      owner_(::getpid()),
      device_(device),
      inode_(inode) {
  static std::atomic<std::uint64_t> connections{0};
  connection_ = ++connections;
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  sqlite3_exec(db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
}

Hive::~Hive() {
  // A child of fork() must leave its parent's connection alone.
  if (!ownedByThisProcess()) return;
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

bool Hive::stillAtPath() const {
  struct stat file {};
  return ::stat(path_.c_str(), &file) == 0 && file.st_dev == device_ && file.st_ino == inode_;
}

LSTATUS Hive::failed(int sqliteCode, bool writing) const {
  // SQLite reports a full device as an I/O error when its files cannot grow.
  const int error = sqlite3_system_errno(db_);
  const bool full = (sqliteCode & 0xff) == SQLITE_IOERR && (error == ENOSPC || error == EDQUOT);
  const LSTATUS status = full ? ERROR_DISK_FULL : statusForSqlite(sqliteCode);
  recordStateFailure(path_, static_cast<DWORD>(status), writing);
  return status;
}

bool Hive::newerSchema() {
  sqlite3_stmt* version = nullptr;
  const bool newer = sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &version, nullptr) == SQLITE_OK &&
                     sqlite3_step(version) == SQLITE_ROW && sqlite3_column_int64(version, 0) > kSchemaVersion;
  sqlite3_finalize(version);
  return newer;
}

void Hive::prepareSchema(Kind kind) {
  std::int64_t schemaVersion = 0;
  {
    Statement version = statement("PRAGMA user_version");
    if (version.step()) schemaVersion = version.integer(0);
  }
  if (schemaVersion > kSchemaVersion) throw HiveFailure{SQLITE_NOTADB};
  if (writable_ && schemaVersion != kSchemaVersion) {
    execute(schemaScript("main").c_str());
    execute("PRAGMA user_version = 1");
  } else if (!writable_ && schemaVersion == 0) {
    // A read-only file that was never a hive reads as an empty hive.
    execute(schemaScript("temp").c_str());
  }
  if (auto root = findKey("")) rootId_ = root->id;
  if (kind == Kind::Machine && writable_) seedProviderCatalogue(*this);
}

void Hive::beginWaiting(const char* begin) {
  const auto deadline = std::chrono::steady_clock::now() + kBusyDeadline;
  thread_local std::minstd_rand jitter(static_cast<unsigned>(::getpid()));
  for (;;) {
    const int rc = sqlite3_exec(db_, begin, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return;
    if (!isBusy(rc) || std::chrono::steady_clock::now() >= deadline) throw HiveFailure{rc};
    std::this_thread::sleep_for(std::chrono::milliseconds(1 + jitter() % 10));
  }
}

LSTATUS Hive::transact(Access access, const std::function<LSTATUS()>& work) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (held_) return inSavepoint(access, work);
  const auto deadline = std::chrono::steady_clock::now() + kBusyDeadline;
  thread_local std::minstd_rand jitter(static_cast<unsigned>(::getpid()));
  for (;;) {
    const std::uint64_t changesBefore = ownChanges_;
    try {
      execute(access == Access::Write ? "BEGIN IMMEDIATE" : "BEGIN");
      const LSTATUS status = work();
      if (status != ERROR_SUCCESS) noteRollback(changesBefore);
      execute(status == ERROR_SUCCESS ? "COMMIT" : "ROLLBACK");
      return status;
    } catch (const HiveFailure& failure) {
      noteRollback(changesBefore);
      if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      if (!isBusy(failure.sqliteCode) || std::chrono::steady_clock::now() >= deadline)
        return failed(failure.sqliteCode, access == Access::Write);
      std::this_thread::sleep_for(std::chrono::milliseconds(1 + jitter() % 10));
    } catch (const std::bad_alloc&) {
      noteRollback(changesBefore);
      if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return ERROR_OUTOFMEMORY;
    }
  }
}

LSTATUS Hive::inSavepoint(Access access, const std::function<LSTATUS()>& work) {
  // A failure SQLite answers by rolling the whole transaction back leaves
  // nothing to continue: every later call and the commit fail.
  if (sqlite3_get_autocommit(db_) != 0) return ERROR_REGISTRY_IO_FAILED;
  // A read changes nothing, so a failed one has nothing to undo: it needs no
  // savepoint (a store adding a certificate makes several reads for each).
  const bool undoable = access == Access::Write;
  LSTATUS status = ERROR_SUCCESS;
  const std::uint64_t changesBefore = ownChanges_;
  try {
    // Prepared once: every registry call of a transaction comes through here.
    if (undoable) statement("SAVEPOINT registry_call").step();
    status = work();
    if (!undoable) return status;
    if (status == ERROR_SUCCESS) {
      statement("RELEASE registry_call").step();
      return status;
    }
  } catch (const HiveFailure& failure) {
    status = failed(failure.sqliteCode, true);
  } catch (const std::bad_alloc&) {
    status = ERROR_OUTOFMEMORY;
  }
  // A rollback of the whole transaction (SQLite's answer to some failures)
  // undoes every write since it was held.
  noteRollback(sqlite3_get_autocommit(db_) != 0 ? changesAtHold_ : changesBefore);
  if (undoable && sqlite3_get_autocommit(db_) == 0) undoRegistryCall();
  return status;
}

void Hive::undoRegistryCall() noexcept {
  // Prepared once too: a lookup of a key that is not there ends here, as
  // for every certificate a store adds.
  try {
    statement("ROLLBACK TO registry_call").step();
    statement("RELEASE registry_call").step();
  } catch (const HiveFailure&) {
  } catch (const std::bad_alloc&) {
  }
}

LSTATUS Hive::holdWriteTransaction() {
  mutex_.lock();
  try {
    beginWaiting("BEGIN IMMEDIATE");
  } catch (const HiveFailure& failure) {
    mutex_.unlock();
    return failed(failure.sqliteCode, true);
  }
  held_ = true;
  changesAtHold_ = ownChanges_;
  return ERROR_SUCCESS;
}

LSTATUS Hive::endWriteTransaction(bool commit) {
  LSTATUS status = ERROR_SUCCESS;
  if (sqlite3_get_autocommit(db_) != 0) {
    status = ERROR_REGISTRY_IO_FAILED;
  } else if (commit) {
    const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) status = failed(rc, true);
  }
  if (!commit || status != ERROR_SUCCESS) noteRollback(changesAtHold_);
  if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  held_ = false;
  mutex_.unlock();
  return status;
}

namespace {

// The first two names of a folded path (all of a shorter one): writes are
// told apart by this much, so that writing key records does not look like
// a change of the provider catalogue.
std::string areaOf(const std::string& foldedPath) {
  const std::size_t first = foldedPath.find('\\');
  if (first == std::string::npos) return foldedPath;
  return foldedPath.substr(0, foldedPath.find('\\', first + 1));
}

// Whether one path is the other or lies below it.
bool related(const std::string& path, const std::string& other) {
  const std::string& shorter = path.size() <= other.size() ? path : other;
  const std::string& longer = path.size() <= other.size() ? other : path;
  return shorter.empty() || (longer.compare(0, shorter.size(), shorter) == 0 &&
                             (longer.size() == shorter.size() || longer[shorter.size()] == '\\'));
}

}  // namespace

void Hive::noteChange(const std::string& foldedPath) { latestChangeByArea_[areaOf(foldedPath)] = ++ownChanges_; }

void Hive::noteRollback(std::uint64_t changesBefore) {
  if (ownChanges_ != changesBefore) ++rollbacks_;
}

std::optional<ChangeStamp> Hive::changeStamp(const std::string& foldedPath) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ChangeStamp stamp{connection_, 0, rollbacks_, 0};
  for (const auto& [area, latest] : latestChangeByArea_)
    if (related(area, foldedPath)) stamp.ownChanges = std::max(stamp.ownChanges, latest);
  // Other connections' commits are looked for once per operation, which
  // then works with what it found first; its many lookups of one part
  // (a walk of the provider catalogue asks at every entry) run no statement.
  const std::uint64_t operation = RegistryTransaction::currentSerial();
  if (operation != 0 && operation == otherCommitsReadIn_) {
    stamp.otherCommits = otherCommits_;
    return stamp;
  }
  try {
    Statement version = statement("PRAGMA data_version");
    if (!version.step()) return std::nullopt;
    stamp.otherCommits = version.integer(0);
  } catch (const HiveFailure&) {
    return std::nullopt;
  }
  otherCommitsReadIn_ = operation;
  otherCommits_ = stamp.otherCommits;
  return stamp;
}

Statement Hive::statement(const char* sql) {
  sqlite3_stmt*& cached = statements_[sql];
  if (cached == nullptr) {
    const int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &cached, nullptr);
    if (rc != SQLITE_OK) {
      statements_.erase(sql);
      throw HiveFailure{rc};
    }
  }
  return Statement(cached);
}

void Hive::execute(const char* sql) {
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) throw HiveFailure{rc};
}

std::optional<KeyRow> Hive::findKey(const std::string& foldedPath) {
  Statement find = statement("SELECT id FROM reg_keys WHERE folded_path = ?");
  find.bind(1, foldedPath);
  if (!find.step()) return std::nullopt;
  return KeyRow{find.integer(0), foldedPath};
}

bool Hive::keyExists(KeyId id) {
  Statement find = statement("SELECT 1 FROM reg_keys WHERE id = ?");
  find.bind(1, id);
  return find.step();
}

KeyRow Hive::createPath(const KeyRow& base, const std::vector<std::string_view>& names, bool& created) {
  KeyRow current = base;
  created = false;
  for (std::string_view name : names) {
    const std::string foldedName = fold(name);
    const std::string path = current.foldedPath.empty() ? foldedName : current.foldedPath + "\\" + foldedName;
    if (auto found = findKey(path)) {
      current = *found;
      created = false;
      continue;
    }
    Statement insert =
        statement("INSERT INTO reg_keys(parent, name, folded_name, folded_path) VALUES(?, ?, ?, ?)");
    insert.bind(1, current.id).bind(2, name).bind(3, foldedName).bind(4, path).step();
    noteChange(path);
    current = KeyRow{sqlite3_last_insert_rowid(db_), path};
    created = true;
  }
  return current;
}

std::optional<std::string> Hive::subKeyAt(KeyId key, std::int64_t index, std::string& folded) {
  Statement select =
      statement("SELECT name, folded_name FROM reg_keys WHERE parent = ? ORDER BY folded_name LIMIT 1 OFFSET ?");
  select.bind(1, key).bind(2, index);
  if (!select.step()) return std::nullopt;
  folded = select.text(1);
  return select.text(0);
}

std::optional<std::string> Hive::subKeyAfter(KeyId key, const std::string& previousFolded, std::string& folded) {
  Statement select = statement(
      "SELECT name, folded_name FROM reg_keys WHERE parent = ? AND folded_name > ? ORDER BY folded_name LIMIT 1");
  select.bind(1, key).bind(2, previousFolded);
  if (!select.step()) return std::nullopt;
  folded = select.text(1);
  return select.text(0);
}

bool Hive::hasSubKeys(KeyId key) {
  Statement select = statement("SELECT 1 FROM reg_keys WHERE parent = ? LIMIT 1");
  select.bind(1, key);
  return select.step();
}

void Hive::deleteKey(const KeyRow& key) {
  noteChange(key.foldedPath);
  statement("DELETE FROM reg_values WHERE key = ?").bind(1, key.id).step();
  statement("DELETE FROM reg_keys WHERE id = ?").bind(1, key.id).step();
}

std::optional<ValueRow> Hive::value(KeyId key, std::string_view name) {
  Statement select = statement("SELECT name, type, data FROM reg_values WHERE key = ? AND folded_name = ?");
  select.bind(1, key).bind(2, fold(name));
  if (!select.step()) return std::nullopt;
  return ValueRow{select.text(0), static_cast<DWORD>(select.integer(1)), select.blob(2)};
}

std::optional<ValueRow> Hive::valueAt(KeyId key, std::int64_t index) {
  Statement select =
      statement("SELECT name, type, data FROM reg_values WHERE key = ? ORDER BY folded_name LIMIT 1 OFFSET ?");
  select.bind(1, key).bind(2, index);
  if (!select.step()) return std::nullopt;
  return ValueRow{select.text(0), static_cast<DWORD>(select.integer(1)), select.blob(2)};
}

void Hive::setValue(const KeyRow& key, std::string_view name, DWORD type, const BYTE* data, std::size_t size) {
  noteChange(key.foldedPath);
  // The name keeps the case it was first written with.
  Statement upsert = statement(
      "INSERT INTO reg_values(key, folded_name, name, type, data) VALUES(?, ?, ?, ?, ?) "
      "ON CONFLICT(key, folded_name) DO UPDATE SET type = excluded.type, data = excluded.data");
  upsert.bind(1, key.id).bind(2, fold(name)).bind(3, name).bind(4, static_cast<std::int64_t>(type));
  upsert.bindBlob(5, data, size).step();
}

bool Hive::deleteValue(const KeyRow& key, std::string_view name) {
  noteChange(key.foldedPath);
  statement("DELETE FROM reg_values WHERE key = ? AND folded_name = ?").bind(1, key.id).bind(2, fold(name)).step();
  return sqlite3_changes(db_) > 0;
}

}  // namespace platform::hive
