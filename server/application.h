#pragma once
// Application: the one public class. Clients fill its Properties and call Loggit;
// the other members read or change the process-wide log method and state, or work
// on the object's own data.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <kj/async.h>
#include <kj/function.h>

#include "automation/dispatch.h"
#include "automation/variant.h"
#include "recordkit/property_packer.h"
#include "recordkit/property_set.h"
#include "startup/process_state.h"

namespace ledgerwick {

constexpr const char* kApplicationProgId = "Ledgerwick.Application";
constexpr const char* kServerName = "Quorvin's Ledgerwick";

class Application : public automation::Dispatch {
 public:
  // Creates the object's PropertySet, then runs InitializeLogger. Every record the
  // object queues is stamped with `sender`, the client it serves as the server saw it.
  explicit Application(ProcessState& state, recordkit::SenderIdentity sender = {});
  // Resolves once the start-up this creation ran (or waits for) has run; the
  // object is handed to its client then.
  kj::Promise<void> WhenStarted() { return started_.addBranch(); }
  // Releases the PropertySet, then runs ReleaseInstance.
  ~Application() noexcept override;
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Members in interface order.
  std::string GetDescription() const { return description_; }
  void SetDescription(const std::string& value) { description_ = value; }

  automation::Variant GetKey() const { return key_; }
  void SetKey(const automation::Variant& value);     // any value
  void SetKeyRef(const automation::Variant& value);  // an object reference (or none)

  // Stamps and queues one event; `vData` is Empty or a PackedRecord. A refusal is
  // raised to the client and entered in the fault log with the sender's identity.
  // The event is journalled (and, as the journal's sync mode says, on the disk)
  // before the call answers.
  void Loggit(automation::Variant& vData);

  // Loggit in two halves, for a call that hands over many events: QueueEvent for
  // each (raising as Loggit does), then CommitEvents once before the call answers.
  // The call's events are journalled together at CommitEvents and only then queued;
  // its failure stands for every one of them, and none is kept.
  void QueueEvent(automation::Variant& vData);
  // QueueEvent of a packed record's bytes, read where they lie (not one of them:
  // an empty record is Empty vData).
  void QueueEvent(kj::ArrayPtr<const uint8_t> record);
  automation::Status CommitEvents();
  // CommitEvents for a call that can wait: its events are journalled with those of
  // the other calls of this turn of the loop, in one write.
  kj::Promise<automation::Status> CommitEventsSoon();

  std::string GetAppName() const { return ""; }
  void SetAppName(const std::string& szAppName) { (void)szAppName; }

  std::string GetName() const { return kServerName; }

  int32_t GetLogMethod() const { return state_.CurrentLogMethod; }
  void SetLogMethod(int32_t lMeth) { state_.CurrentLogMethod = lMeth; }

  void SetArrayData(automation::Variant& value);
  automation::Variant GetArrayData() const;

  automation::Variant GetFieldMap() const;

  std::shared_ptr<recordkit::PropertySet> GetProperties() const { return properties_; }

  automation::Variant GetFields(int16_t& FieldNo) const;
  void SetFields(int16_t& FieldNo, automation::Variant& value);

  // Lets what is due on the loop run once (a due drain tick among it), then
  // resolves to 0. The object stays usable.
  kj::Promise<int32_t> Destroy();

  bool GetReady() const { return state_.ReadyFlag; }

  // Lets go of the objects this one holds (Key, field values, ArrayData that are or
  // hold object references), which become Empty. Its client has gone: an object
  // that holds itself, or two that hold each other, would otherwise live on.
  void ReleaseHeldObjects();

  // Late-bound access to every member above, by its dispatch id.
  kj::Promise<automation::Variant> Invoke(automation::DispId dispId, uint16_t flags,
                                          std::vector<automation::Variant>& args) override;
  std::vector<automation::DispId> GetIDsOfNames(const std::vector<std::string>& names) override;

 private:
  // Unpacks the event into the set with `unpack` (0, or the packer's number), then
  // stamps and queues it; a refusal is raised after the tally and the fault log.
  void Queue(kj::FunctionParam<int32_t()> unpack);
  // Stamps and queues the event the set holds now.
  void StampAndQueue();

  ProcessState& state_;
  const recordkit::SenderIdentity sender_;
  // What this object refused, entered once per burst with how often it came again.
  RepeatedFaults refused_;
  kj::ForkedPromise<void> started_;
  std::string description_;
  std::shared_ptr<recordkit::PropertySet> properties_;
  // Loggit reads each record through this, reusing its room from call to call.
  recordkit::PackedFields unpacked_;
  automation::Variant arrayData_;
  automation::Variant key_;
};

}  // namespace ledgerwick
