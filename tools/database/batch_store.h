// SPDX-License-Identifier: Apache-2.0
// The import's batches stored on a second thread: the database stores one batch (and a
// server parses and indexes it) while the next one is read and checked from the logs.
#pragma once

#include "tools/database/log_db_backend.h"

#include <exception>
#include <functional>
#include <thread>
#include <vector>

namespace spoolgate {

class BatchStore {
 public:
  using Stored = std::function<void(const std::vector<LineRow>& batch, const StoreResult& result)>;
  // stored is called on the caller's thread, in order, with each batch and its result.
  BatchStore(Database& db, Stored stored) : db_(db), stored_(std::move(stored)) {}
  // Waits for the batch in flight; its result is dropped (the import is failing).
  ~BatchStore();
  BatchStore(const BatchStore&) = delete;
  BatchStore& operator=(const BatchStore&) = delete;

  // Settles the batch before, then stores batch on the second thread; batch comes back
  // empty. The database is not the caller's until Settle.
  void Send(std::vector<LineRow>& batch);
  // Waits for the batch in flight and reports it, or throws what storing it threw.
  void Settle();

 private:
  Database& db_;
  Stored stored_;
  std::vector<LineRow> flying_;
  StoreResult result_;
  std::exception_ptr failure_;
  std::thread worker_;
};

}  // namespace spoolgate
