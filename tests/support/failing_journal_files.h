#pragma once
// The journal's files with chosen operations failing, for tests of what the journal
// and the drain do when the disk fails: the Nth operation of a kind once, or every
// one from the Nth on until healed. A failing Write may first write part of its data
// (as a full disk does), so that the cut back is tested too.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "automation/automation_error.h"
#include "journal/journal_files.h"

namespace ledgerwick::testing {

class FailingJournalFiles final : public journal::JournalFiles {
 public:
  enum Op { kWrite, kSync, kTruncate, kOpen, kRename, kRead, kOps };

  // "real" must remain live while this is in use.
  explicit FailingJournalFiles(journal::JournalFiles& real) : real_(real) {}
  FailingJournalFiles(const FailingJournalFiles&) = delete;
  FailingJournalFiles& operator=(const FailingJournalFiles&) = delete;

  // Operations of each kind are numbered from 1 over this object's life.
  void FailOnce(Op op, int n, int32_t number = automation::err::kDiskFull) { plans_[op] = {n, false, number}; }
  void FailFrom(Op op, int n, int32_t number = automation::err::kDiskFull) { plans_[op] = {n, true, number}; }
  void Heal() { plans_ = {}; }
  int calls(Op op) const { return calls_[op]; }
  // A failing Write writes this many bytes of its data first (never all of it).
  void SetPartialWriteBytes(size_t bytes) { partial_ = bytes; }

  automation::Status ReadFrom(const std::string& path, uint64_t offset, std::string& out) override {
    if (Fails(kRead)) return automation::Status::Error(plans_[kRead].number);
    return real_.ReadFrom(path, offset, out);
  }
  automation::Status Open(const std::string& path, bool truncate, kj::Own<journal::JournalFile>& out) override {
    if (Fails(kOpen)) return automation::Status::Error(plans_[kOpen].number);
    kj::Own<journal::JournalFile> file;
    if (auto status = real_.Open(path, truncate, file); !status.ok()) return status;
    out = kj::heap<File>(*this, kj::mv(file));
    return {};
  }
  automation::Status Rename(const std::string& from, const std::string& to, bool durable) override {
    if (Fails(kRename)) return automation::Status::Error(plans_[kRename].number);
    return real_.Rename(from, to, durable);
  }
  automation::Status Remove(const std::string& path) override { return real_.Remove(path); }

 private:
  struct Plan {
    int from = 0;  // 0: none fails
    bool onward = false;
    int32_t number = 0;
  };

  class File final : public journal::JournalFile {
   public:
    File(FailingJournalFiles& owner, kj::Own<journal::JournalFile> real) : owner_(owner), real_(kj::mv(real)) {}
    ~File() noexcept override {}
    automation::Status Write(std::string_view data) override {
      if (owner_.Fails(kWrite)) {
        if (owner_.partial_ > 0 && data.size() > 1) {
          real_->Write(data.substr(0, std::min(owner_.partial_, data.size() - 1)));
        }
        return automation::Status::Error(owner_.plans_[kWrite].number);
      }
      return real_->Write(data);
    }
    automation::Status Sync() override {
      if (owner_.Fails(kSync)) return automation::Status::Error(owner_.plans_[kSync].number);
      return real_->Sync();
    }
    automation::Status Truncate(uint64_t length) override {
      if (owner_.Fails(kTruncate)) return automation::Status::Error(owner_.plans_[kTruncate].number);
      return real_->Truncate(length);
    }
    // Counts, and fails, as a write.
    automation::Status CopyFrom(const std::string& path, uint64_t offset, uint64_t length) override {
      if (owner_.Fails(kWrite)) return automation::Status::Error(owner_.plans_[kWrite].number);
      return real_->CopyFrom(path, offset, length);
    }

   private:
    FailingJournalFiles& owner_;
    kj::Own<journal::JournalFile> real_;
  };

  bool Fails(Op op) {
    const int n = ++calls_[op];
    const Plan& plan = plans_[op];
    return plan.from > 0 && (plan.onward ? n >= plan.from : n == plan.from);
  }

  journal::JournalFiles& real_;
  std::array<Plan, kOps> plans_{};
  std::array<int, kOps> calls_{};
  size_t partial_ = 0;
};

}  // namespace ledgerwick::testing
