#include "writer/record_writer.h"

#include "automation/automation_error.h"
#include "writer/fault_log.h"
#include "writer/text_log.h"

namespace ledgerwick {

namespace {

using automation::AutomationError;
using automation::Variant;

constexpr int32_t kStoreAbsent = automation::err::kObjectNotSet;

// One store's attempt: 0 when it took the record, 91 when either of its objects is
// missing, else its refusal's number. A failing call is reported once and counts as a
// refusal, so the chain goes on to the next target.
kj::Promise<int32_t> TryStore(ProcessState& state, const std::shared_ptr<recordkit::DSO>& dso,
                              const std::shared_ptr<recordkit::DTO>& dto, Variant& record) {
  if (!dso || !dto) return kStoreAbsent;
  return kj::evalNow([&]() { return dso->AddRecord(*dto, record, ""); })
      .then([](int32_t status) { return status; },
            [&state](kj::Exception&& e) {
              AutomationError error = AutomationError::FromKjException(e);
              ReportFault(state, error.description());
              return error.number() != 0 ? error.number() : automation::err::kAutomationError;
            });
}

int32_t ToTextLog(ProcessState& state, Variant& record) {
  int32_t result = WriteToTextFile(state, record);
  if (result == 0) ++state.counters.toTextLog;
  return result;
}

}  // namespace

kj::Promise<int32_t> WriteRecord(ProcessState& state, int32_t logMethod, Variant& record) {
  if (logMethod == tofile) return ToTextLog(state, record);
  if (logMethod != toDatabase) {
    // No method sends anything elsewhere; the record is kept in the text log.
    ReportFault(state, "Invalid Log Method");
    return ToTextLog(state, record);
  }
  return TryStore(state, state.NetDSO, state.NetDTO, record)
      .then([&state, &record](int32_t status) -> kj::Promise<int32_t> {
        if (status == 0) {
          ++state.counters.toNetworkStore;
          return 0;
        }
        return TryStore(state, state.LocalDSO, state.LocalDTO, record)
            .then([&state, &record](int32_t status) -> int32_t {
              if (status == 0) {
                ++state.counters.toLocalStore;
                return 0;
              }
              return ToTextLog(state, record);
            });
      });
}

}  // namespace ledgerwick
