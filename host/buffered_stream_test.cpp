#include "host/buffered_stream.h"

#include <string>

#include <gtest/gtest.h>
#include <kj/async-io.h>
#include <kj/vector.h>

namespace ledgerwick::host {
namespace {

class BufferedStreamTest : public ::testing::Test {
 protected:
  BufferedStreamTest() {
    auto pipe = kj::newTwoWayPipe();
    writer = kj::mv(pipe.ends[0]);
    stream = kj::heap<BufferedStream>(kj::mv(pipe.ends[1]), 16);
  }
  // kj's event loop may throw from its destructor; a test fixture's must not.
  ~BufferedStreamTest() noexcept override {}

  // The in-memory pipe holds nothing itself: a write ends as the reader takes it.
  void Send(std::string text) {
    auto held = kj::heap<std::string>(std::move(text));
    auto& ref = *held;
    sent.add(writer->write(ref.data(), ref.size()).attach(kj::mv(held)).eagerlyEvaluate(nullptr));
  }

  std::string Read(size_t minBytes, size_t maxBytes) {
    std::string out(maxBytes, '\0');
    size_t n = stream->tryRead(out.data(), minBytes, maxBytes).wait(ws);
    out.resize(n);
    return out;
  }

  kj::EventLoop loop;
  kj::WaitScope ws{loop};
  kj::Own<kj::AsyncIoStream> writer;
  kj::Own<BufferedStream> stream;
  kj::Vector<kj::Promise<void>> sent;
};

// Small reads are served from one read of the socket, in order, byte for byte.
TEST_F(BufferedStreamTest, SmallReadsComeFromTheBufferInOrder) {
  Send("headerbody-one");
  EXPECT_EQ(Read(6, 6), "header");
  EXPECT_EQ(Read(4, 4), "body");
  EXPECT_EQ(Read(1, 100), "-one");  // what is there, no more
}

// A read asking for more than is buffered waits for the rest; one larger than the
// buffer goes straight through; the end of the stream answers what was read.
TEST_F(BufferedStreamTest, LongReadsAndTheEndOfTheStream) {
  Send("abc");
  auto pending = stream->tryRead(nullptr, 0, 0);  // a read of nothing answers at once
  EXPECT_EQ(pending.wait(ws), 0u);
  std::string first(5, '\0');
  auto five = stream->tryRead(first.data(), 5, 5);
  Send("defgh");
  EXPECT_EQ(five.wait(ws), 5u);
  EXPECT_EQ(first, "abcde");

  const std::string large(100, 'x');
  Send(large);
  EXPECT_EQ(Read(3, 3), "fgh");
  EXPECT_EQ(Read(100, 100), large);

  Send("tail");
  EXPECT_EQ(Read(4, 10), "tail");
  writer->shutdownWrite();
  EXPECT_EQ(Read(1, 10), "");
}

// A closed gate holds the socket read back until it opens; what is buffered
// already is still handed out.
TEST_F(BufferedStreamTest, AClosedReadGateHoldsTheReadUntilItOpens) {
  int asked = 0;
  kj::Maybe<kj::Own<kj::PromiseFulfiller<void>>> opener;
  stream->SetReadGate([&]() -> kj::Maybe<kj::Promise<void>> {
    ++asked;
    if (asked > 1) return nullptr;
    auto paf = kj::newPromiseAndFulfiller<void>();
    opener = kj::mv(paf.fulfiller);
    return kj::mv(paf.promise);
  });
  Send("abcdef");
  std::string out(6, '\0');
  auto read = stream->tryRead(out.data(), 6, 6);
  EXPECT_FALSE(read.poll(ws));
  EXPECT_EQ(asked, 1);
  KJ_IF_MAYBE (o, opener) {
    (*o)->fulfill();
  } else {
    FAIL() << "the gate was not asked";
  }
  EXPECT_EQ(read.wait(ws), 6u);
  EXPECT_EQ(out, "abcdef");
  EXPECT_EQ(asked, 2);
}

}  // namespace
}  // namespace ledgerwick::host
