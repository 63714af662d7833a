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
    return inner_->tryRead(out + done, minBytes - done, maxBytes - done).then([done](size_t n) { return done + n; });
  }
  return inner_->tryRead(buffer_.begin(), 1, buffer_.size())
      .then([this, out, minBytes, maxBytes, done](size_t n) -> kj::Promise<size_t> {
        if (n == 0) return done;  // the end of the stream
        end_ = n;
        const size_t total = done + TakeBuffered(out + done, maxBytes - done);
        if (total >= minBytes) return total;
        return ReadMore(out, minBytes, maxBytes, total);
      });
}

}  // namespace ledgerwick::host
