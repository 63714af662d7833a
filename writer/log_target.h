#pragma once
// A place records are written to: a log store or the text log. The record writer
// hands each target, in turn, what the targets before it did not take.

#include <kj/async.h>
#include <kj/common.h>

#include "automation/variant.h"
#include "recordkit/store.h"

namespace ledgerwick {

using recordkit::TakeResult;

class LogTarget {
 public:
  virtual ~LogTarget() = default;

  // Writes a run of PackedRecords, in order. Resolves to how many of them, from the
  // front, the target took (a record counts once it is durably written) and, when
  // it took fewer, the status of the first one it did not take. A target being down
  // is such a status, never a rejection. `run` must stay alive and unchanged until
  // the promise resolves.
  virtual kj::Promise<TakeResult> Take(kj::ArrayPtr<const automation::Variant> run) = 0;
};

}  // namespace ledgerwick
