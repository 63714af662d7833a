#pragma once
// A log store double: answers AddRecord with a chosen number, raises, or answers
// later when the test says so. It keeps what it took and what it was asked.

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <kj/async.h>

#include "automation/automation_error.h"
#include "recordkit/property_packer.h"
#include "recordkit/store.h"

namespace ledgerwick::testing {

class FakeDTO : public recordkit::DTO {};

class FakeDSO : public recordkit::DSO {
 public:
  enum class Mode { kTake, kRefuse, kRaise, kLate };

  kj::Promise<int32_t> Connect(const std::string& database) override {
    databases.push_back(database);
    if (connectRaises) throw automation::AutomationError(*connectRaises);
    if (connectLate) {
      auto paf = kj::newPromiseAndFulfiller<int32_t>();
      connectAnswers.push_back(kj::mv(paf.fulfiller));
      return kj::mv(paf.promise);
    }
    return connectResult;
  }
  kj::Promise<int32_t> OpenTable(recordkit::DTO& dto, const std::string& table) override {
    boundDtos.push_back(&dto);
    tables.push_back(table);
    return openTableResult;
  }
  kj::Promise<int32_t> Execute(recordkit::DTO& dto, const automation::Variant& optional, const std::string& sql,
                               int32_t options) override {
    executedOn.push_back(&dto);
    optionalArgs.push_back(optional);
    statements.push_back(sql);
    executeOptions.push_back(options);
    if (executeRaises) throw automation::AutomationError(*executeRaises);
    return executeResult;
  }
  kj::Promise<int32_t> AddRecord(recordkit::DTO& dto, const automation::Variant& record,
                                 const std::string& text) override {
    (void)dto, (void)text;
    ++calls;
    if (calls == failCall) return refuseNumber;
    switch (mode) {
      case Mode::kTake:
        taken.push_back(record);
        return 0;
      case Mode::kRefuse:
        return refuseNumber;
      case Mode::kRaise:
        throw automation::AutomationError(raiseNumber, raiseDescription);
      case Mode::kLate: {
        auto paf = kj::newPromiseAndFulfiller<int32_t>();
        pending.push_back(Pending{record, kj::mv(paf.fulfiller)});
        return kj::mv(paf.promise);
      }
    }
    return 0;
  }

  // Answers the Connect call that waits (connectLate).
  void AnswerConnect(int32_t result) {
    auto answers = std::move(connectAnswers);
    for (auto& answer : answers) answer->fulfill(int32_t{result});
  }

  // Answers the oldest late call: 0 keeps its record as taken.
  void AnswerLate(int32_t result) {
    Pending p = kj::mv(pending.front());
    pending.pop_front();
    if (result == 0) taken.push_back(p.record);
    p.fulfiller->fulfill(kj::mv(result));
  }

  // The value of a field of the n-th record taken.
  automation::Variant Field(size_t n, const std::string& name) const {
    auto set = recordkit::PropertySet::NewEventSet();
    automation::Variant record = taken.at(n);
    recordkit::PropertyPacker().UnpackProperties(record, *set);
    return set->Item(name)->Value();
  }

  Mode mode = Mode::kTake;
  int failCall = 0;  // this call (counting from 1) refuses, whatever the mode
  int32_t refuseNumber = 3022;
  int32_t raiseNumber = 3146;
  std::string raiseDescription = "ODBC--call failed";
  int32_t connectResult = 0;
  std::optional<int32_t> connectRaises;  // Connect raises this number instead
  bool connectLate = false;              // Connect answers when AnswerConnect says
  int32_t openTableResult = 0;
  int32_t executeResult = 0;
  std::optional<int32_t> executeRaises;  // Execute raises this number instead

  int calls = 0;  // AddRecord calls
  std::vector<automation::Variant> taken;
  std::vector<std::string> databases, tables, statements;
  std::vector<recordkit::DTO*> boundDtos, executedOn;
  std::vector<automation::Variant> optionalArgs;
  std::vector<int32_t> executeOptions;

 private:
  std::vector<kj::Own<kj::PromiseFulfiller<int32_t>>> connectAnswers;
  struct Pending {
    automation::Variant record;
    kj::Own<kj::PromiseFulfiller<int32_t>> fulfiller;
  };
  std::deque<Pending> pending;
};

}  // namespace ledgerwick::testing
