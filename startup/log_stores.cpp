#include "startup/log_stores.h"

#include "automation/automation_error.h"
#include "automation/conversions.h"
#include "automation/date_scale.h"
#include "startup/settings.h"

namespace ledgerwick {

namespace {

using automation::AutomationError;
namespace err = automation::err;

constexpr const char* kSection = "Attachments";
constexpr const char* kDatabaseKey = "DATABASE";
constexpr const char* kConnectDelimiter = ";";

// How the runtime marks an optional argument that the caller left out.
constexpr int32_t kParamNotFound = static_cast<int32_t>(0x80020004u);

// The settings keys and the state variables of one store.
struct StoreSlots {
  const char* dsoKey;
  const char* connectKey;
  const char* dtoKey;
  std::shared_ptr<recordkit::DSO>& dso;
  std::shared_ptr<recordkit::DTO>& dto;
};

// The error number of whatever a step raised. A failure never reads as success.
int32_t NumberOfCurrentException() {
  const int32_t number = AutomationError::FromCurrentException().number();
  return number == 0 ? err::kAutomationError : number;
}

// Runs one step of opening a store. What it raises, at once or through its promise,
// ends the opening with that error's number; a raise is caught where it happens, so
// its number stays a number.
template <typename Step>
kj::Promise<int32_t> Guarded(Step&& step) {
  kj::Promise<int32_t> answer = nullptr;
  try {
    answer = step();
  } catch (...) {
    return NumberOfCurrentException();
  }
  return answer.catch_([](kj::Exception&&) { return err::kAutomationError; });
}

// Opening a store: create its DSO, connect it, create its DTO and bind it to the
// log table. Resolves to 0 or the number of the first step that failed; objects
// created before that step stay in their slots.
kj::Promise<int32_t> ConnectAndBind(ProcessState& state, StoreSlots store) {
  return Guarded([&state, store]() -> kj::Promise<int32_t> {
    const std::string dsoClass = ReadSetting(state, kSection, store.dsoKey, kSettingsFileName);
    if (dsoClass == kMissing) return err::kObjectNotSet;
    store.dso = state.env.classes.CreateAs<recordkit::DSO>(dsoClass);

    const std::string connect = ReadSetting(state, kSection, store.connectKey, kSettingsFileName);
    if (connect == kMissing) return err::kNamedArgumentNotFound;
    // A connect string that names no database fails here rather than opening a
    // database called "ERROR".
    const std::string database = GetConnectValue(connect, kDatabaseKey, kConnectDelimiter);
    if (database == kMissing) return err::kNamedArgumentNotFound;
    return store.dso->Connect(database);
  }).then([&state, store](int32_t connected) -> kj::Promise<int32_t> {
    if (connected != 0) return connected;
    return Guarded([&state, store]() {
      // A missing DTO setting is not tested: creating the class "ERROR" fails instead.
      const std::string dtoClass = ReadSetting(state, kSection, store.dtoKey, kSettingsFileName);
      store.dto = state.env.classes.CreateAs<recordkit::DTO>(dtoClass);
      return store.dso->OpenTable(*store.dto, kLogTableName);
    });
  });
}

}  // namespace

std::string PurgeStatement(double today) {
  const double cutoff = automation::WholeDays(today) - kPurgeDays;
  return std::string("DELETE *\r\nFROM ") + kLogTableName + "\r\nWHERE logdate < #" +
         automation::ShortDateText(cutoff) + "#";
}

std::string StoreSettingsDetail(const ProcessState& state, const std::string& prefix,
                                const std::shared_ptr<recordkit::DSO>& dso) {
  const std::string dsoKey = prefix + "DSO";
  const std::string dsoClass = ReadSetting(state, kSection, dsoKey, kSettingsFileName);
  if (dsoClass == kMissing) {
    return "no " + dsoKey + " in [" + kSection + "] of " + state.env.settingsDir + "/" + kSettingsFileName;
  }
  const std::string connect = ReadSetting(state, kSection, prefix + "Connect", kSettingsFileName);
  std::string detail = dsoKey + "=" + dsoClass + ", " + prefix + "Connect=" +
                       (connect == kMissing ? std::string("(not set)") : WithoutPassword(connect));
  if (dso) {
    const std::string why = dso->Health().lastError;
    if (!why.empty()) detail += ": " + why;
  }
  return detail;
}

std::string PurgeMessage(int64_t rows, double today) {
  const double cutoff = automation::WholeDays(today) - kPurgeDays;
  return "Removed " + std::to_string(rows) + (rows == 1 ? " row" : " rows") + " logged before " +
         automation::ShortDateText(cutoff) + " from the local " + kLogTableName + " (rows are kept " +
         std::to_string(kPurgeDays) + " days)";
}

kj::Promise<int32_t> OpenNetworkStore(ProcessState& state) {
  return ConnectAndBind(state, {"NetDSO", "NetConnect", "NetDTO", state.NetDSO, state.NetDTO});
}

kj::Promise<int32_t> OpenLocalStore(ProcessState& state) {
  return ConnectAndBind(state, {"LocalDSO", "LocalConnect", "LocalDTO", state.LocalDSO, state.LocalDTO})
      .then([&state](int32_t result) -> kj::Promise<int32_t> {
        if (result != 0 || !state.env.purgeLocalStore) return result;
        // Keep the rows of the last 14 days and of today. The statement's own answer
        // is not examined; only a call that fails outright fails the store. What it
        // removed is entered in the fault log, so that no row goes unannounced.
        kj::Promise<int32_t> purged = nullptr;
        try {
          const double today = state.env.clock.Now();
          const std::string sql = PurgeStatement(today);
          purged = state.LocalDSO->Execute(*state.LocalDTO, automation::Variant::Error(kParamNotFound), sql, 0)
                       .then([&state, today](int32_t answer) {
                         const int64_t removed = answer == 0 ? state.LocalDSO->RowsChanged() : -1;
                         if (removed > 0) state.faultLog.Report(PurgeMessage(removed, today));
                         return int32_t{0};
                       });
        } catch (...) {
          return NumberOfCurrentException();
        }
        return purged.catch_([](kj::Exception&&) { return err::kAutomationError; });
      });
}

}  // namespace ledgerwick
