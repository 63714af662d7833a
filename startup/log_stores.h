#pragma once
// Opening the network and the local log store from the settings, and the local
// store's 14-day purge.

#include <cstdint>
#include <string>

#include <kj/async.h>

#include "startup/process_state.h"

namespace ledgerwick {

constexpr const char* kLogTableName = "tblLog";
constexpr int kPurgeDays = 14;

// Resolve to 0 when every step succeeded, else to the number of the first failing
// step; never reject. Objects created before the failing step stay set in the state.
// The stores' calls are waited on without blocking the loop.
kj::Promise<int32_t> OpenNetworkStore(ProcessState& state);
kj::Promise<int32_t> OpenLocalStore(ProcessState& state);

// What a fault entry about a store adds for the operator: the store's class and
// connect string as the settings give them (no password), and the store's own word
// on why it is down; "Net" or "Local" names the store. When the settings name no
// class: that, and the file they were read from.
std::string StoreSettingsDetail(const ProcessState& state, const std::string& prefix,
                                const std::shared_ptr<recordkit::DSO>& dso);

// The purge statement for the given date: "DELETE *", "FROM tblLog" and
// "WHERE logdate < #m/d/yyyy#" joined by CR LF, the cutoff 14 days before `today`.
std::string PurgeStatement(double today);

// The fault-log entry that says what a start-up's purge removed.
std::string PurgeMessage(int64_t rows, double today);

}  // namespace ledgerwick
