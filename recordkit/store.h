#pragma once
// The two objects of a log store: a DSO (the connection to one database) and its
// DTO (bound to one table of it). Stores are created through the class registry.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <kj/async.h>
#include <kj/common.h>

#include "automation/status.h"
#include "automation/unknown.h"
#include "automation/variant.h"

namespace recordkit {

// What a store (or any log target) did with a run of records: how many of them, from
// the front, it took, and when it took fewer than it was handed, why it did not take
// the first of the others.
struct TakeResult {
  size_t taken = 0;
  automation::Status status;
  // The store's call for that record failed outright (an automation error) rather
  // than answering a refusal; the writer enters such a failure in the fault log.
  bool raised = false;
};

// Whether a store takes records now, for those who watch the daemon.
struct StoreHealth {
  bool open = true;
  // While it is not open: since when (a date value), and why.
  std::optional<double> downSince;
  std::string lastError;
};

class DTO : public automation::Unknown {};

class DSO : public automation::Unknown {
 public:
  // Opening a store may wait on a server or a file lock, so each of these answers
  // through a promise, and the loop serves other calls meanwhile. Calls on one DSO do
  // not overlap: each is made once the one before it has answered.

  // 0 when connected to the database the text names; else the failure's number.
  virtual kj::Promise<int32_t> Connect(const std::string& database) = 0;

  // 0 when `dto` is bound to `table`; else the failure's number. A DTO of another
  // store class raises 13. `dto` must stay alive until it resolves.
  virtual kj::Promise<int32_t> OpenTable(DTO& dto, const std::string& table) = 0;

  // Runs `sql` against the table `dto` is bound to; `optional` is never given and
  // `options` is 0. Answers a number the callers drop.
  virtual kj::Promise<int32_t> Execute(DTO& dto, const automation::Variant& optional, const std::string& sql,
                                       int32_t options) = 0;
  // The rows the last Execute that answered 0 inserted, changed or deleted; -1 when
  // the store cannot tell.
  virtual int64_t RowsChanged() const { return -1; }

  // Appends the PackedRecord to the table of `dto` (`text` is always empty). Resolves
  // to 0 once the row is stored, non-zero when it was not; rejects (an automation
  // error) when the call itself fails. `dto` must stay alive until it resolves.
  virtual kj::Promise<int32_t> AddRecord(DTO& dto, const automation::Variant& record,
                                         const std::string& text) = 0;

  // Appends a run of PackedRecords in order. Resolves to how many of them (a prefix)
  // are stored, counting a record only once it is durable, and for the first one not
  // stored the status why. Store-level failures are statuses; only a bug rejects.
  // `dto` and `records` must stay alive and unchanged until it resolves. This one
  // adds the records one at a time through AddRecord; a store that can write a run as
  // one unit (one transaction) does so instead.
  virtual kj::Promise<TakeResult> AddRecords(DTO& dto, kj::ArrayPtr<const automation::Variant> records);

  // Whether the store takes records now. A store that cannot tell answers open.
  virtual StoreHealth Health() const { return {}; }
};

}  // namespace recordkit
