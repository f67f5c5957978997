// Registry transactions: every change made within one becomes durable
// together, at its commit, or not at all.
//
// A transaction is an object. Keys opened or created with it
// (RegOpenKeyTransactedA, RegCreateKeyTransactedA) work within it; while it
// is open it is also the current transaction of the thread that opened it,
// and every registry call of that thread joins it, so the certificate stores
// and key providers write through their caller's transaction without being
// told. One operation of an application is wrapped this way:
//
//   platform::RegistryTransaction transaction;
//   ... any number of registry, store and provider calls ...
//   const LSTATUS saved = transaction.commit();
//
// A transaction opened while another is current on the thread joins the
// outer one: only the outermost commits, and an inner rollback makes the
// outer commit fail. What is neither committed nor rolled back when the
// object dies is rolled back.
//
// A hive enters the transaction at its first change (reads before that run
// on their own, so long work before the first change holds no lock); from
// then until the end the hive's write lock is held, and other threads of
// the process wait for it. At commit each hive changed commits once, in the
// order they were first changed.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/registry.h"

// The transaction has ended, or an inner one rolled it back.
#define ERROR_TRANSACTION_NOT_ACTIVE 6701L

namespace platform {

namespace hive {
class Hive;
}

class RegistryTransaction {
 public:
  RegistryTransaction();
  ~RegistryTransaction();
  RegistryTransaction(const RegistryTransaction&) = delete;
  RegistryTransaction& operator=(const RegistryTransaction&) = delete;

  // ERROR_SUCCESS once every change is durable; after a failure nothing
  // more is committed and the hives not yet committed are rolled back. An
  // inner transaction's commit only says whether the outer one may still
  // commit.
  LSTATUS commit();
  void rollback();

  // The open transaction of the calling thread, null when there is none.
  static RegistryTransaction* current();
  // The number of the calling thread's outermost open transaction, unique
  // in the process; 0 when there is none.
  static std::uint64_t currentSerial();

  // What the registry keeps of a transaction; its calls are the registry's.
  struct State;
  const std::shared_ptr<State>& state() const { return state_; }

 private:
  std::shared_ptr<State> state_;
  RegistryTransaction* outer_;
};

// What the registry keeps of a transaction.
struct RegistryTransaction::State {
  explicit State(std::uint64_t number) : serial(number) {}

  // Makes `hive` part of the transaction before its first change: begins
  // its write transaction, waiting for other writers.
  LSTATUS enlist(const std::shared_ptr<hive::Hive>& hive);

  const std::uint64_t serial;
  bool open = true;       // neither committed nor rolled back yet
  bool doomed = false;    // an inner transaction rolled back
  std::vector<std::shared_ptr<hive::Hive>> changed;  // in the order first changed
};

// How many file syncs the hives of this process have asked for, so a test
// can tell what one operation costs the disk.
unsigned long hiveSyncCount();

}  // namespace platform

// As RegOpenKeyExA and RegCreateKeyExA, the key working within `transaction`.
LSTATUS RegOpenKeyTransactedA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result,
                              platform::RegistryTransaction* transaction, void* extended);
LSTATUS RegCreateKeyTransactedA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                                REGSAM desired, SECURITY_ATTRIBUTES* security, PHKEY result, LPDWORD disposition,
                                platform::RegistryTransaction* transaction, void* extended);
