#pragma once
// Delivers one record by the log method: the text log, or the network store, else
// the local store, else the text log.

#include <cstdint>

#include <kj/async.h>

#include "automation/variant.h"
#include "startup/process_state.h"

namespace ledgerwick {

// Resolves to 0 when a target took the record, else to the error number of the
// text log, the last target. A store that is absent or refuses is passed over; a
// store whose call fails is passed over after one fault entry. A log method other
// than tofile and toDatabase gives the fault entry "Invalid Log Method" and the
// record goes to the text log. Never blocks: store calls are waited on
// asynchronously. `record` must stay alive until the promise resolves.
kj::Promise<int32_t> WriteRecord(ProcessState& state, int32_t logMethod, automation::Variant& record);

}  // namespace ledgerwick
