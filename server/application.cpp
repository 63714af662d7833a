#include "server/application.h"

#include <cmath>
#include <limits>
#include <string_view>

#include "automation/automation_error.h"
#include "automation/conversions.h"
#include "automation/date_scale.h"
#include "startup/logger_startup.h"

namespace ledgerwick {

namespace {

using automation::AutomationError;
using automation::SafeArray;
using automation::Variant;
using automation::VarType;
namespace err = automation::err;

constexpr std::string_view kEventDateSentinel = "01/01/1900";
constexpr std::string_view kEventTimeSentinel = "12:00:00 AM";

// Where a set made by NewEventSet holds the fields that Loggit stamps.
constexpr size_t kEventDatePlace = 8;
constexpr size_t kEventTimePlace = 9;
constexpr size_t kLogDatePlace = 10;
constexpr size_t kLogTimePlace = 11;

// The field so named, looked for at `place` first; raises 5, as Item does, when the
// set holds none.
recordkit::Property& EventField(const recordkit::PropertySet& set, size_t place, std::string_view name) {
  const auto& properties = set.Properties();
  if (place < properties.size() && automation::EqualsNoCase(properties[place]->Name(), name)) {
    return *properties[place];
  }
  return *set.Item(std::string(name));
}

// The current date and time of day, each to the whole second, from one reading of
// the clock.
struct Today {
  Variant date;
  Variant time;
};

Today ReadClock(const automation::Clock& clock) {
  const double now = clock.Now();
  return {Variant::Date(*automation::DateSerial(automation::DatePart(now))),
          Variant::Date(automation::TimeSerial(automation::TimePart(now)))};
}

// A field keeps a usable date or time the client gave; the sentinel text, or
// anything that is not a date, gives way to the current value.
void ApplySentinelRule(recordkit::Property& field, std::string_view sentinel, const Variant& replacement) {
  const Variant& value = field.Value();
  if (!value.isNull()) {
    // A text as it is; an array, an error value or an object has no text form and
    // raises 13, as the comparison does.
    const bool isSentinel = value.type() == VarType::String && !value.isArray()
                                ? value.string() == sentinel
                                : automation::ToText(value) == sentinel;
    if (isSentinel) {
      field.SetValue(replacement);
      return;
    }
  }
  if (!automation::IsDate(value)) field.SetValue(replacement);
}

// The element (FieldNo, 0) of a two-dimensional array held in ArrayData.
std::vector<int32_t> FieldIndices(const Variant& arrayData, int16_t fieldNo) {
  if (!arrayData.isArray()) throw AutomationError(err::kTypeMismatch);
  if (arrayData.array().dimensions() != 2) throw AutomationError(err::kSubscriptOutOfRange);
  return {fieldNo, 0};
}

}  // namespace

Application::Application(ProcessState& state, recordkit::SenderIdentity sender)
    : state_(state),
      sender_(std::move(sender)),
      refused_(state.faultLog),
      started_(kj::Promise<void>(kj::READY_NOW).fork()),
      properties_(recordkit::PropertySet::NewEventSet()) {
  started_ = InitializeLogger(state_).fork();
}

Application::~Application() noexcept {
  properties_.reset();
  ReleaseInstance(state_);
}

void Application::SetKey(const Variant& value) { key_ = value.deref(); }

namespace {
// True when `value` is an object reference or an array that holds one, at any depth.
bool HoldsObject(const Variant& held) {
  const Variant& value = held.deref();
  if (!value.isArray()) return value.type() == VarType::Object;
  const automation::SafeArray& array = value.array();
  if (array.elementType() != VarType::Object && array.elementType() != VarType::Variant) return false;
  for (size_t i = 0; i < array.size(); ++i) {
    if (HoldsObject(array.GetFlat(i))) return true;
  }
  return false;
}
}  // namespace

void Application::ReleaseHeldObjects() {
  if (HoldsObject(key_)) {
    // Moved out first: the release may run destructors that reach this object.
    Variant released = std::move(key_);
    key_ = Variant();
  }
  if (HoldsObject(arrayData_)) arrayData_ = Variant();
  if (properties_) {
    for (const std::shared_ptr<recordkit::Property>& field : properties_->Properties()) {
      if (HoldsObject(field->Value())) field->SetValue(Variant());
    }
  }
}

void Application::SetKeyRef(const Variant& value) {
  const Variant& target = value.deref();
  if (target.type() != VarType::Object || target.isArray()) throw AutomationError(err::kTypeMismatch);
  key_ = target;
}

void Application::Loggit(Variant& vData) {
  QueueEvent(vData);
  if (automation::Status committed = CommitEvents(); !committed.ok()) {
    throw AutomationError(committed.number, committed.description);
  }
}

kj::Promise<automation::Status> Application::CommitEventsSoon() { return state_.drain.CommitSoon(); }

automation::Status Application::CommitEvents() { return state_.drain.Commit(); }

void Application::QueueEvent(Variant& vData) {
  Queue([&]() { return state_.Packer().UnpackProperties(vData, *properties_, unpacked_); });
}

void Application::QueueEvent(kj::ArrayPtr<const uint8_t> record) {
  Queue([&]() { return state_.Packer().UnpackProperties(record, *properties_, unpacked_); });
}

void Application::Queue(kj::FunctionParam<int32_t()> unpack) {
  try {
    if (int32_t number = unpack(); number != 0) throw AutomationError(number);
    StampAndQueue();
  } catch (const AutomationError& e) {
    state_.loggitTally.Refused();
    refused_.Report("Loggit refused an event: " + std::to_string(e.number()) + " " + e.description() + " (" +
                    recordkit::DescribeSender(sender_) + ")");
    throw;
  }
  state_.loggitTally.Accepted();
  refused_.End();
}

void Application::StampAndQueue() {
  const recordkit::PropertyPacker& packer = state_.Packer();
  const Today today = ReadClock(state_.env.clock);
  const recordkit::PropertySet& set = *properties_;
  ApplySentinelRule(EventField(set, kEventDatePlace, "EventDate"), kEventDateSentinel, today.date);
  ApplySentinelRule(EventField(set, kEventTimePlace, "EventTime"), kEventTimeSentinel, today.time);
  EventField(set, kLogDatePlace, "LogDate").SetValue(today.date);
  EventField(set, kLogTimePlace, "LogTime").SetValue(today.time);

  Variant record;
  const recordkit::JournalStamp stamp = state_.drain.NextStamp();
  if (int32_t number = packer.PackProperties(record, *properties_, sender_, stamp); number != 0) {
    throw AutomationError(number);
  }
  if (const size_t bytes = record.array().bytes().size(); bytes > recordkit::kMaxPackedRecordBytes) {
    throw AutomationError(err::kOutOfMemory, recordkit::RecordTooLargeMessage(bytes));
  }
  if (automation::Status queued = state_.drain.Stage(std::move(record), static_cast<uint64_t>(stamp.sequence));
      !queued.ok()) {
    throw AutomationError(queued.number, queued.description);
  }
}

void Application::SetArrayData(Variant& value) { arrayData_ = value.deref(); }

Variant Application::GetArrayData() const { return arrayData_; }

Variant Application::GetFields(int16_t& FieldNo) const {
  std::vector<int32_t> indices = FieldIndices(arrayData_, FieldNo);
  return arrayData_.array().Get(indices);
}

void Application::SetFields(int16_t& FieldNo, Variant& value) {
  std::vector<int32_t> indices = FieldIndices(arrayData_, FieldNo);
  arrayData_.array().Set(indices, value.deref());
}

Variant Application::GetFieldMap() const {
  // Counts, then fills, as two passes over the set.
  int16_t count = 0;
  for (const auto& property : properties_->Properties()) {
    if (property->Mapped()) {
      if (count == std::numeric_limits<int16_t>::max()) throw AutomationError(err::kOverflow);
      ++count;
    }
  }
  if (count == 0) throw AutomationError(err::kSubscriptOutOfRange);  // bounds 0 to -1
  SafeArray names(VarType::String, {automation::ArrayBound{0, static_cast<uint32_t>(count)}});
  int16_t position = 0;
  for (const auto& property : properties_->Properties()) {
    if (property->Mapped()) {
      names.Set({position}, Variant::String(property->Name()));
      ++position;
    }
  }
  return Variant::Array(std::move(names));
}

kj::Promise<int32_t> Application::Destroy() {
  // A zero delay resolves after the timers that are already due, so a due drain tick
  // runs first; evalLast then lets the work it queued on the loop finish. A drain that
  // waits on a store's answer goes on after the call returns.
  return state_.env.timers.timer().afterDelay(0 * kj::MILLISECONDS).then([]() {
    return kj::evalLast([]() { return int32_t{0}; });
  });
}

}  // namespace ledgerwick
