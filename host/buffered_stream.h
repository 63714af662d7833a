#pragma once
// A connection's stream with its reads buffered: the RPC layer reads each message in
// two or more small reads (its header, then its segments), which with many calls in
// flight cost a system call each. Reading what the socket holds in one go turns them
// into copies.
//
// Writes are gathered the same way: the answers the loop produces in one turn go out
// in one write once it has nothing else to run (or as soon as the write before them
// is done), instead of a write for every answer. A write is taken as soon as it is
// copied, unless a large amount waits already: then it waits for the socket. A write
// that fails fails every write after it.

#include <functional>

#include <kj/array.h>
#include <kj/async-io.h>
#include <kj/vector.h>

namespace ledgerwick::host {

class BufferedStream final : public kj::AsyncIoStream {
 public:
  explicit BufferedStream(kj::Own<kj::AsyncIoStream> inner, size_t bufferSize = 64 * 1024)
      : inner_(kj::mv(inner)), buffer_(kj::heapArray<kj::byte>(bufferSize)) {}

  kj::Promise<size_t> tryRead(void* buffer, size_t minBytes, size_t maxBytes) override;

  // Asked before each read from the socket: a promise holds the read back until it
  // resolves (then the gate is asked again), nullptr lets it go on.
  using ReadGate = std::function<kj::Maybe<kj::Promise<void>>()>;
  void SetReadGate(ReadGate gate) { readGate_ = std::move(gate); }
  // Called when bytes arrive from the socket for the first time since the stream
  // last wrote (or at all): once per call of a client that waits for its answers,
  // however many reads a large call takes.
  void SetArrivalHook(std::function<void()> hook) { arrived_ = std::move(hook); }

  kj::Promise<void> write(const void* buffer, size_t size) override;
  kj::Promise<void> write(kj::ArrayPtr<const kj::ArrayPtr<const kj::byte>> pieces) override;
  kj::Promise<void> whenWriteDisconnected() override { return inner_->whenWriteDisconnected(); }
  // After what is gathered has gone out.
  void shutdownWrite() override;
  void abortRead() override { inner_->abortRead(); }
  void getsockopt(int level, int option, void* value, kj::uint* length) override {
    inner_->getsockopt(level, option, value, length);
  }
  void setsockopt(int level, int option, const void* value, kj::uint length) override {
    inner_->setsockopt(level, option, value, length);
  }
  void getsockname(struct sockaddr* addr, kj::uint* length) override { inner_->getsockname(addr, length); }
  void getpeername(struct sockaddr* addr, kj::uint* length) override { inner_->getpeername(addr, length); }

 private:
  // Copies what the buffer holds into `out`, at most `maxBytes`; answers how much.
  size_t TakeBuffered(kj::byte* out, size_t maxBytes);
  void BytesArrived();
  kj::Promise<size_t> ReadMore(kj::byte* out, size_t minBytes, size_t maxBytes, size_t done);

  // Past this much gathered and not yet written, a write waits for the socket.
  static constexpr size_t kMaxGatheredBytes = 256 * 1024;

  kj::Promise<void> Gathered();
  kj::Promise<void> WriteGathered();
  void WriteEnded();

  kj::Own<kj::AsyncIoStream> inner_;
  ReadGate readGate_;
  std::function<void()> arrived_;
  bool wroteSinceArrival_ = true;
  kj::Vector<kj::byte> gathered_;  // taken, not yet handed to the socket
  kj::Vector<kj::byte> writing_;   // handed to the socket, not yet written
  bool flushing_ = false;          // a write of gathered bytes is due or under way
  bool shutdownDue_ = false;
  kj::Maybe<kj::Exception> writeFailure_;
  kj::Vector<kj::Own<kj::PromiseFulfiller<void>>> waitingWriters_;
  kj::Maybe<kj::Promise<void>> flush_;  // last: it goes first, while the rest still stands
  kj::Array<kj::byte> buffer_;
  size_t begin_ = 0;  // the buffered bytes are buffer_[begin_, end_)
  size_t end_ = 0;
};

}  // namespace ledgerwick::host
