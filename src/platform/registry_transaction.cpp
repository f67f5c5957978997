#include "platform/registry_transaction.h"

#include <algorithm>
#include <atomic>

#include "platform/hive.h"
#include "platform/lasterror.h"

namespace platform {

namespace {
thread_local RegistryTransaction* currentTransaction = nullptr;

std::shared_ptr<RegistryTransaction::State> newState() {
  static std::atomic<std::uint64_t> serials{0};
  return std::make_shared<RegistryTransaction::State>(++serials);
}
}

LSTATUS RegistryTransaction::State::enlist(const std::shared_ptr<hive::Hive>& hive) {
  if (!open) return ERROR_TRANSACTION_NOT_ACTIVE;
  if (std::find(changed.begin(), changed.end(), hive) != changed.end()) return ERROR_SUCCESS;
  const LSTATUS status = hive->holdWriteTransaction();
  if (status == ERROR_SUCCESS) changed.push_back(hive);
  return status;
}

RegistryTransaction::RegistryTransaction()
    : state_(currentTransaction != nullptr ? currentTransaction->state_ : newState()),
      outer_(currentTransaction) {
  currentTransaction = this;
}

RegistryTransaction::~RegistryTransaction() {
  if (outer_ == nullptr) rollback();
  currentTransaction = outer_;
}

RegistryTransaction* RegistryTransaction::current() { return currentTransaction; }

std::uint64_t RegistryTransaction::currentSerial() {
  return currentTransaction != nullptr ? currentTransaction->state_->serial : 0;
}

LSTATUS RegistryTransaction::commit() {
  if (!state_->open || state_->doomed) return ERROR_TRANSACTION_NOT_ACTIVE;
  if (outer_ != nullptr) return ERROR_SUCCESS;
  state_->open = false;
  LSTATUS status = ERROR_SUCCESS;
  for (const std::shared_ptr<hive::Hive>& hive : state_->changed) {
    const LSTATUS ended = hive->endWriteTransaction(status == ERROR_SUCCESS);
    if (status == ERROR_SUCCESS) status = ended;
  }
  state_->changed.clear();
  return status;
}

void RegistryTransaction::rollback() {
  if (outer_ != nullptr) {
    state_->doomed = true;
    return;
  }
  if (!state_->open) return;
  state_->open = false;
  for (const std::shared_ptr<hive::Hive>& hive : state_->changed) hive->endWriteTransaction(false);
  state_->changed.clear();
}

}  // namespace platform
