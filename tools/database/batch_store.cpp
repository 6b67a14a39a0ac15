// SPDX-License-Identifier: Apache-2.0
// The import's batches stored on a second thread, one at a time, each reported on the
// caller's thread before the next one goes.
#include "tools/database/batch_store.h"

namespace spoolgate {

BatchStore::~BatchStore() {
  if (worker_.joinable()) worker_.join();
}

void BatchStore::Send(std::vector<LineRow>& batch) {
  Settle();
  if (batch.empty()) return;
  flying_.swap(batch);
  batch.clear();
  worker_ = std::thread([this] {
    try {
      result_ = db_.Store(flying_);
    } catch (...) {
      failure_ = std::current_exception();
    }
  });
}

void BatchStore::Settle() {
  if (!worker_.joinable()) return;
  worker_.join();
  if (failure_ != nullptr) {
    std::exception_ptr failure = failure_;
    failure_ = nullptr;
    flying_.clear();
    std::rethrow_exception(failure);
  }
  stored_(flying_, result_);
  flying_.clear();
}

}  // namespace spoolgate
