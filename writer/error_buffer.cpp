#include "writer/error_buffer.h"

#include <kj/debug.h>

namespace ledgerwick {

namespace {

// The bytes a packed record takes in the queue.
size_t PackedSize(const automation::Variant& record) {
  return record.isArray() && record.type() == automation::VarType::Byte ? record.array().bytes().size() : 0;
}

// A queued record's Variant, its array, the array's shared bytes with their control
// block, and the allocator's headers, beside the packed bytes themselves.
constexpr size_t kQueuedRecordOverhead = 192;

}  // namespace

size_t ErrorBuffer::Cost(const automation::Variant& record) { return PackedSize(record) + kQueuedRecordOverhead; }

void ErrorBuffer::Append(automation::Variant record, uint64_t sequence) {
  if (blocks_.empty() || blocks_.back().records.size() == blockSize_) {
    // A full block is never grown, so runs handed out from it stay in place.
    blocks_.emplace_back();
    blocks_.back().records.reserve(blockSize_);
    blocks_.back().sequences.reserve(blockSize_);
  }
  blocks_.back().sequences.push_back(sequence);
  bytes_ += Cost(record);
  blocks_.back().records.push_back(std::move(record));
  ++size_;
}

kj::ArrayPtr<const automation::Variant> ErrorBuffer::Front(size_t maxRecords, size_t maxBytes) const {
  if (size_ == 0) return nullptr;
  const Block& front = blocks_.front();
  const automation::Variant* first = front.records.data() + front.head;
  const size_t available = front.records.size() - front.head;
  size_t count = 0;
  size_t bytes = 0;
  while (count < available && count < maxRecords) {
    bytes += PackedSize(first[count]);
    if (count > 0 && bytes > maxBytes) break;
    ++count;
  }
  return kj::arrayPtr(first, count);
}

uint64_t ErrorBuffer::RemoveFront(size_t count) {
  uint64_t last = 0;
  while (count > 0) {
    KJ_ASSERT(!blocks_.empty());
    Block& front = blocks_.front();
    const size_t here = std::min(count, front.records.size() - front.head);
    for (size_t i = front.head; i < front.head + here; ++i) {
      bytes_ -= Cost(front.records[i]);
      if (front.sequences[i] != 0) last = front.sequences[i];
      front.records[i] = automation::Variant();
    }
    front.head += here;
    size_ -= here;
    count -= here;
    if (front.head == front.records.size() && (blocks_.size() > 1 || front.records.size() == blockSize_)) {
      blocks_.pop_front();
    }
  }
  return last;
}

}  // namespace ledgerwick
