#include "host/buffered_stream.h"

#include <algorithm>
#include <cstring>

namespace ledgerwick::host {

size_t BufferedStream::TakeBuffered(kj::byte* out, size_t maxBytes) {
  const size_t n = std::min(maxBytes, end_ - begin_);
  if (n == 0) return 0;
  std::memcpy(out, buffer_.begin() + begin_, n);
  begin_ += n;
  if (begin_ == end_) begin_ = end_ = 0;
  return n;
}

kj::Promise<size_t> BufferedStream::tryRead(void* buffer, size_t minBytes, size_t maxBytes) {
  auto* out = static_cast<kj::byte*>(buffer);
  const size_t done = TakeBuffered(out, maxBytes);
  if (done >= minBytes) return done;
  return ReadMore(out, minBytes, maxBytes, done);
}

kj::Promise<size_t> BufferedStream::ReadMore(kj::byte* out, size_t minBytes, size_t maxBytes, size_t done) {
  if (readGate_) {
    KJ_IF_MAYBE (held, readGate_()) {
      return held->then([this, out, minBytes, maxBytes, done]() { return ReadMore(out, minBytes, maxBytes, done); });
    }
  }
  // A read at least as large as the buffer goes straight to the caller's memory.
  if (maxBytes - done >= buffer_.size()) {
    return inner_->tryRead(out + done, minBytes - done, maxBytes - done).then([this, done](size_t n) {
      if (n > 0) BytesArrived();
      return done + n;
    });
  }
  return inner_->tryRead(buffer_.begin(), 1, buffer_.size())
      .then([this, out, minBytes, maxBytes, done](size_t n) -> kj::Promise<size_t> {
        if (n == 0) return done;  // the end of the stream
        BytesArrived();
        end_ = n;
        const size_t total = done + TakeBuffered(out + done, maxBytes - done);
        if (total >= minBytes) return total;
        return ReadMore(out, minBytes, maxBytes, total);
      });
}

void BufferedStream::BytesArrived() {
  if (!wroteSinceArrival_) return;
  wroteSinceArrival_ = false;
  if (arrived_) arrived_();
}

kj::Promise<void> BufferedStream::write(const void* buffer, size_t size) {
  const kj::ArrayPtr<const kj::byte> piece(static_cast<const kj::byte*>(buffer), size);
  return write(kj::arrayPtr(&piece, 1));
}

kj::Promise<void> BufferedStream::write(kj::ArrayPtr<const kj::ArrayPtr<const kj::byte>> pieces) {
  KJ_IF_MAYBE (failure, writeFailure_) { return kj::cp(*failure); }
  for (auto piece : pieces) gathered_.addAll(piece);
  wroteSinceArrival_ = true;
  if (!flushing_) {
    flushing_ = true;
    // Once the loop has run everything else of this turn: the answers it produces
    // meanwhile go out with this one.
    flush_ = kj::evalLast([this]() { return WriteGathered(); }).eagerlyEvaluate(nullptr);
  }
  return Gathered();
}

kj::Promise<void> BufferedStream::Gathered() {
  if (gathered_.size() < kMaxGatheredBytes) return kj::READY_NOW;
  auto paf = kj::newPromiseAndFulfiller<void>();
  waitingWriters_.add(kj::mv(paf.fulfiller));
  return kj::mv(paf.promise);
}

kj::Promise<void> BufferedStream::WriteGathered() {
  if (gathered_.empty()) {
    WriteEnded();
    return kj::READY_NOW;
  }
  writing_ = kj::mv(gathered_);
  gathered_ = kj::Vector<kj::byte>();
  // Writers held back wait no longer: what they gave is on its way.
  auto waiting = kj::mv(waitingWriters_);
  for (auto& writer : waiting) writer->fulfill();
  return inner_->write(writing_.begin(), writing_.size())
      .then([this]() { return WriteGathered(); },
            [this](kj::Exception&& e) {
              writeFailure_ = kj::cp(e);
              auto waiting = kj::mv(waitingWriters_);
              for (auto& writer : waiting) writer->reject(kj::cp(e));
              gathered_.clear();
              WriteEnded();
            });
}

void BufferedStream::WriteEnded() {
  flushing_ = false;
  writing_.clear();
  if (shutdownDue_) {
    shutdownDue_ = false;
    inner_->shutdownWrite();
  }
}

void BufferedStream::shutdownWrite() {
  if (flushing_) {
    shutdownDue_ = true;
  } else {
    inner_->shutdownWrite();
  }
}

}  // namespace ledgerwick::host
