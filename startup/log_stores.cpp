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

// Opening a store: create its DSO, connect it, create its DTO and bind it to the
// log table. Returns 0 or the number the failing step chose; errors raised inside a
// step propagate to the caller's handler.
int32_t ConnectAndBind(ProcessState& state, const StoreSlots& store) {
  const std::string dsoClass = ReadSetting(state, kSection, store.dsoKey, kSettingsFileName);
  if (dsoClass == kMissing) return err::kObjectNotSet;
  store.dso = state.env.classes.CreateAs<recordkit::DSO>(dsoClass);

  const std::string connect = ReadSetting(state, kSection, store.connectKey, kSettingsFileName);
  if (connect == kMissing) return err::kNamedArgumentNotFound;
  // A connect string that names no database fails here rather than opening a
  // database called "ERROR".
  const std::string database = GetConnectValue(connect, kDatabaseKey, kConnectDelimiter);
  if (database == kMissing) return err::kNamedArgumentNotFound;
  if (int32_t result = store.dso->Connect(database); result != 0) return result;

  // A missing DTO setting is not tested: creating the class "ERROR" fails instead.
  const std::string dtoClass = ReadSetting(state, kSection, store.dtoKey, kSettingsFileName);
  store.dto = state.env.classes.CreateAs<recordkit::DTO>(dtoClass);
  return store.dso->OpenTable(*store.dto, kLogTableName);
}

// The error number of whatever a step raised. A failure never reads as success.
int32_t NumberOfCurrentException() {
  const int32_t number = AutomationError::FromCurrentException().number();
  return number == 0 ? err::kAutomationError : number;
}

}  // namespace

std::string PurgeStatement(double today) {
  const double cutoff = automation::WholeDays(today) - kPurgeDays;
  return std::string("DELETE *\r\nFROM ") + kLogTableName + "\r\nWHERE logdate < #" +
         automation::ShortDateText(cutoff) + "#";
}

int32_t OpenNetworkStore(ProcessState& state) {
  try {
    return ConnectAndBind(state, {"NetDSO", "NetConnect", "NetDTO", state.NetDSO, state.NetDTO});
  } catch (...) {
    return NumberOfCurrentException();
  }
}

int32_t OpenLocalStore(ProcessState& state) {
  try {
    const int32_t result = ConnectAndBind(
        state, {"LocalDSO", "LocalConnect", "LocalDTO", state.LocalDSO, state.LocalDTO});
    if (result != 0) return result;

    // Keep the rows of the last 14 days and of today. The statement's own answer is
    // not examined; only a call that fails outright fails the store.
    const std::string sql = PurgeStatement(state.env.clock.Now());
    state.LocalDSO->Execute(*state.LocalDTO, automation::Variant::Error(kParamNotFound), sql, 0);
    return 0;
  } catch (...) {
    return NumberOfCurrentException();
  }
}

}  // namespace ledgerwick
