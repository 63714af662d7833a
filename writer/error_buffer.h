#pragma once
// The ErrorBuffer: the PackedRecords waiting to be written, oldest first. Records
// are kept in blocks of a fixed capacity, so that a run from the front can be handed
// to the writer in place, without a copy, while records are appended behind it.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include <kj/common.h>

#include "automation/variant.h"

namespace ledgerwick {

class ErrorBuffer {
 public:
  // A run handed out by Front never holds more than `blockSize` records.
  explicit ErrorBuffer(size_t blockSize) : blockSize_(blockSize) {}
  ErrorBuffer(const ErrorBuffer&) = delete;
  ErrorBuffer& operator=(const ErrorBuffer&) = delete;

  // `sequence` is the record's number in the journal, 0 when it is not journalled.
  void Append(automation::Variant record, uint64_t sequence = 0);
  size_t size() const { return size_; }
  // What the queued records take in memory, as Cost counts it.
  size_t bytes() const { return bytes_; }

  // What one record takes in the queue: its packed bytes and the objects around them.
  static size_t Cost(const automation::Variant& record);

  // The records at the front, in order: at most `maxRecords` and, past the first,
  // at most `maxBytes` bytes of packed records. They stay where they are (appends
  // do not move them) until RemoveFront.
  kj::ArrayPtr<const automation::Variant> Front(size_t maxRecords, size_t maxBytes) const;

  // Removes `count` records from the front; no more than the last Front handed out.
  // Answers the journal number of the last one removed that had one, else 0.
  uint64_t RemoveFront(size_t count);

 private:
  struct Block {
    std::vector<automation::Variant> records;  // capacity blockSize_, never grown past it
    std::vector<uint64_t> sequences;           // beside records, one each
    size_t head = 0;                           // records before it are removed
  };

  const size_t blockSize_;
  std::deque<Block> blocks_;
  size_t size_ = 0;
  size_t bytes_ = 0;
};

}  // namespace ledgerwick
