#pragma once
// The two objects of a log store: a DSO (the connection to one database) and its
// DTO (bound to one table of it). Stores are created through the class registry.

#include <cstdint>
#include <string>

#include <kj/async.h>

#include "automation/unknown.h"
#include "automation/variant.h"

namespace recordkit {

class DTO : public automation::Unknown {};

class DSO : public automation::Unknown {
 public:
  // 0 when connected to the database the text names; else the failure's number.
  virtual int32_t Connect(const std::string& database) = 0;

  // 0 when `dto` is bound to `table`; else the failure's number. A DTO of another
  // store class raises 13.
  virtual int32_t OpenTable(DTO& dto, const std::string& table) = 0;

  // Runs `sql` against the table `dto` is bound to; `optional` is never given and
  // `options` is 0. Answers a number the callers drop.
  virtual int32_t Execute(DTO& dto, const automation::Variant& optional, const std::string& sql,
                          int32_t options) = 0;

  // Appends the PackedRecord to the table of `dto` (`text` is always empty). Resolves
  // to 0 once the row is stored, non-zero when it was not; rejects (an automation
  // error) when the call itself fails. `dto` must stay alive until it resolves.
  virtual kj::Promise<int32_t> AddRecord(DTO& dto, const automation::Variant& record,
                                         const std::string& text) = 0;
};

}  // namespace recordkit
