#include "startup/logger_startup.h"

#include <cstdint>
#include <limits>
#include <string>

#include "automation/automation_error.h"
#include "automation/conversions.h"
#include "startup/log_stores.h"
#include "startup/settings.h"
#include "startup/writer_chain.h"
#include "writer/fault_log.h"
#include "writer/text_log.h"

namespace ledgerwick {

namespace {

using automation::AutomationError;
namespace err = automation::err;

constexpr const char* kGeneral = "General";

// Step labels, in the order start-up sets them; fault entries end with one.
constexpr const char* kStepLogFileName = "Get LogFile Name";
constexpr const char* kStepLogMethod = "Get LogMethod";
constexpr const char* kStepErrorBuffer = "Create ErrorBuffer";
constexpr const char* kStepNetwork = "Create NetDSO";
constexpr const char* kStepLocal = "Create DSOLocal";

// The notice for the two store outcomes; empty when both stores opened.
std::string StoreNotice(bool networkOpened, bool localOpened) {
  const char* first = nullptr;
  const char* second = nullptr;
  if (!networkOpened && localOpened) {
    first = "Unable to open Network Log Table.";
    second = "Errors will be logged to Local Table";
  } else if (networkOpened && !localOpened) {
    first = "Unable to open Local Log Table.";
    second = "Errors will be logged to Network Table";
  } else if (!networkOpened && !localOpened) {
    first = "Unable to open Local or Network Log Table.";
    second = "Errors will be logged to Local File";
  } else {
    return {};
  }
  return std::string(first) + "\r\n" + second;
}

// Start-up's fault rule: a failing statement leaves one fault entry, "description:
// step label", and start-up goes on with the next statement. A fault log that
// cannot be written must not stop start-up either; the entry goes to stderr then.
class StartupRun {
 public:
  explicit StartupRun(ProcessState& state) : state_(state) {}

  template <typename Statement>
  void Run(Statement&& statement) {
    try {
      statement();
    } catch (...) {
      Fault(AutomationError::FromCurrentException().description());
    }
  }

  // A store opener's answer: a number other than 0 is raised as that error. Its
  // entry ends with `detail`, after the step.
  bool Opened(int32_t result, const std::string& detail) {
    if (result == 0) return true;
    Fault(automation::StandardDescription(result), detail);
    return false;
  }

  void Fault(const std::string& description, const std::string& detail = "") {
    state_.faultLog.Report(description + ": " + step + (detail.empty() ? "" : " (" + detail + ")"));
  }

  std::string step;  // the current step label, empty until the text log's step
  bool networkOpened = false;
  bool localOpened = false;

 private:
  ProcessState& state_;
};

// A store opener never rejects; should one fail all the same, start-up goes on.
kj::Promise<int32_t> Opening(kj::Promise<int32_t> opener) {
  return opener.catch_([](kj::Exception&&) { return err::kAutomationError; });
}

// The end of every creation that found start-up begun: the no-store notice again
// while no store opened.
void RepeatNoStoreNotice(ProcessState& state) {
  if (state.ReadyFlag) return;
  StartupRun run(state);
  run.Run([&] { state.env.notices.Show(StoreNotice(false, false)); });
}

}  // namespace

kj::Promise<void> InitializeLogger(ProcessState& state) {
  StartupRun run(state);

  // Count this instance; the 16-bit count stays at its limit on overflow.
  run.Run([&] {
    if (state.InstanceCount == std::numeric_limits<int16_t>::max()) {
      throw AutomationError(err::kOverflow);
    }
    ++state.InstanceCount;
  });

  // Start-up has run and a store is open: nothing more to do.
  if (state.ReadyFlag) return kj::READY_NOW;

  if (state.InitStarted) {
    // Start-up has begun before. While it still waits on the stores, this creation
    // waits for it too, instead of reporting stores that may yet open; after it,
    // only the no-store notice is repeated when no store opened.
    KJ_IF_MAYBE(running, state.StartupInFlight) {
      return running->addBranch().then([&state]() { RepeatNoStoreNotice(state); });
    }
    RepeatNoStoreNotice(state);
    return kj::READY_NOW;
  }
  state.InitStarted = true;

  // Where the text log goes.
  run.step = kStepLogFileName;
  run.Run([&] {
    const std::string folder = ReadSetting(state, kGeneral, "TextPath", kSettingsFileName);
    // Joined as read: a trailing "/" in the setting stays, giving "//".
    state.TextLogPath = (folder == kMissing ? state.env.homeDir : folder) + "/" + kTextLogName;
  });

  // The log method. A value that is not a whole number in the 16-bit range is a
  // fault; the log method then keeps its value.
  run.step = kStepLogMethod;
  run.Run([&] {
    const std::string storage = ReadSetting(state, kGeneral, "StorageType", kSettingsFileName);
    if (storage == kMissing) {
      state.CurrentLogMethod = toDatabase;
    } else {
      state.CurrentLogMethod = automation::ToInteger16(automation::Variant::String(storage));
    }
  });

  run.step = kStepErrorBuffer;
  run.Run([&] { state.drain.CreateErrorBuffer(); });

  // The network store first, then the local one; a failure is one fault entry. The
  // loop serves other calls and ticks while the stores answer.
  auto outcome = std::make_shared<StartupRun>(kj::mv(run));
  outcome->step = kStepNetwork;
  kj::Promise<void> done =
      Opening(OpenNetworkStore(state))
          .then([&state, outcome](int32_t result) {
            outcome->networkOpened = outcome->Opened(result, StoreSettingsDetail(state, "Net", state.NetDSO));
            outcome->step = kStepLocal;
            return Opening(OpenLocalStore(state));
          })
          .then([&state, outcome](int32_t result) {
            outcome->localOpened = outcome->Opened(result, StoreSettingsDetail(state, "Local", state.LocalDSO));

            // The writer is handed whatever objects the openers left, opened or not.
            outcome->Run([&] { BuildWriterChain(state); });
            // Records the journal kept from before a restart wait for the chain.
            outcome->Run([&] {
              if (state.drain.queued() > 0) state.drain.StartDrainTimer();
            });

            // Tell the operator which stores did not open.
            outcome->Run([&] {
              const std::string notice = StoreNotice(outcome->networkOpened, outcome->localOpened);
              if (!notice.empty()) state.env.notices.Show(notice);
            });

            // Written only here, so it stays False while start-up runs.
            state.ReadyFlag = outcome->networkOpened || outcome->localOpened;
          });
  kj::ForkedPromise<void>& running = state.StartupInFlight.emplace(done.fork());
  return running.addBranch();
}

void ReleaseInstance(ProcessState& state) {
  // Runs in a destructor, so it must not raise; the count never goes below its range.
  if (state.InstanceCount > std::numeric_limits<int16_t>::min()) --state.InstanceCount;
}

}  // namespace ledgerwick
