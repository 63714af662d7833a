#pragma once
// The text log: one line of 19 tab-separated columns per record, each ended by
// CR LF. A run of records is written with one append (one open, one write, one
// close), all or nothing, and nothing is kept open or buffered between runs. The
// append runs on the worker, off the loop; a long run is rendered half there and
// half on the loop, at the same time.

#include <string>
#include <vector>

#include "automation/blocking_worker.h"
#include "automation/file_appender.h"
#include "automation/variant.h"
#include "recordkit/property_packer.h"
#include "writer/fault_log.h"
#include "writer/log_target.h"

namespace ledgerwick {

constexpr int kTextLogColumns = 19;
constexpr const char* kTextLogName = "Ledgwk.log";

class TextLog final : public LogTarget {
 public:
  // Appends to the file at `path` through `files`, on `worker`. Each argument must
  // outlive the log; `files` and `packer` are used on the worker's thread too.
  TextLog(automation::FileAppender& files, const recordkit::PropertyPacker& packer, FaultLog& faults,
          automation::BlockingWorker& worker, std::string path)
      : files_(files), packer_(packer), faultLog_(faults), worker_(worker), outage_(faults), path_(std::move(path)) {}

  // Renders the record as one line without its CR LF. A record the packer rejects
  // renders as the empty text. A column whose value cannot become text is written
  // empty; tab, CR and LF inside a value become one blank each. The faults met are
  // added to `faults` (one message each).
  std::string FormatLogLine(const automation::Variant& record, std::vector<std::string>& faults) const;

  // Appends the run's lines in one write. Either every line is in the file or none
  // is: a failed write takes nothing, enters the error's description in the fault
  // log (once per outage) and answers its status. A record's rendering faults are
  // entered once the record is written, so a retried run does not enter them twice.
  // `run` must stay alive until the promise resolves; one run at a time.
  kj::Promise<TakeResult> WriteToTextFile(kj::ArrayPtr<const automation::Variant> run);

  kj::Promise<TakeResult> Take(kj::ArrayPtr<const automation::Variant> run) override {
    return WriteToTextFile(run);
  }

  const std::string& path() const { return path_; }

 private:
  // What rendering keeps from record to record of a run.
  struct LineScratch;
  // Appends the line of `record` to `line`.
  void AppendLogLine(const automation::Variant& record, LineScratch& scratch, std::string& line,
                     std::vector<std::string>& faults) const;
  // Renders `run` as lines, each with its CR LF, adding the faults met to `faults`.
  void RenderLines(kj::ArrayPtr<const automation::Variant> run, std::string& lines,
                   std::vector<std::string>& faults) const;

  automation::FileAppender& files_;
  const recordkit::PropertyPacker& packer_;
  FaultLog& faultLog_;
  automation::BlockingWorker& worker_;
  RepeatedFaults outage_;  // the faults of writes that failed, until one succeeds
  const std::string path_;

  // The run being written: its two halves (the first rendered on the loop, the
  // second on the worker) and the append's answer. The worker touches them only
  // while the loop waits for it.
  struct Half {
    std::string lines;
    std::vector<std::string> faults;
  };
  Half first_;
  Half second_;
  automation::Status status_;
  bool writing_ = false;
};

}  // namespace ledgerwick
