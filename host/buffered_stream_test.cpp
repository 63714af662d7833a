#include "host/buffered_stream.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kj/async-io.h>
#include <kj/debug.h>
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
// A client's call is told once, however many reads of the socket it takes, and the
// next bytes count as a new call only once the stream has written (answered) since.
TEST_F(BufferedStreamTest, AnArrivalIsToldOncePerCallBetweenAnswers) {
  int arrivals = 0;
  stream->SetArrivalHook([&arrivals]() { ++arrivals; });
  Send("a call longer than the buffer");  // several reads of the 16-byte buffer
  EXPECT_EQ(Read(29, 29), "a call longer than the buffer");
  EXPECT_EQ(arrivals, 1);
  Send("more of it");
  EXPECT_EQ(Read(10, 10), "more of it");
  EXPECT_EQ(arrivals, 1);
  auto answered = stream->write("ok", 2);  // taken at once: it is only gathered
  Send("the next call");
  EXPECT_EQ(Read(13, 13), "the next call");
  EXPECT_EQ(arrivals, 2);
}

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

// A stream that keeps each write it is given, and can fail them.
class RecordingStream final : public kj::AsyncIoStream {
 public:
  kj::Promise<size_t> tryRead(void*, size_t, size_t) override { return kj::NEVER_DONE; }
  kj::Promise<void> write(const void* buffer, size_t size) override {
    if (failWrites) return KJ_EXCEPTION(DISCONNECTED, "the peer went away");
    writes.emplace_back(static_cast<const char*>(buffer), size);
    return kj::READY_NOW;
  }
  kj::Promise<void> write(kj::ArrayPtr<const kj::ArrayPtr<const kj::byte>> pieces) override {
    std::string joined;
    for (auto piece : pieces) joined.append(reinterpret_cast<const char*>(piece.begin()), piece.size());
    return write(joined.data(), joined.size());
  }
  kj::Promise<void> whenWriteDisconnected() override { return kj::NEVER_DONE; }
  void shutdownWrite() override { shutdownAfter = writes.size(); }
  void abortRead() override {}

  std::vector<std::string> writes;
  bool failWrites = false;
  kj::Maybe<size_t> shutdownAfter;  // how many writes came before the shutdown
};

class GatheredWritesTest : public ::testing::Test {
 protected:
  GatheredWritesTest() {
    auto inner = kj::heap<RecordingStream>();
    recorded = inner.get();
    stream = kj::heap<BufferedStream>(kj::mv(inner));
  }
  ~GatheredWritesTest() noexcept override {}

  kj::Promise<void> Write(const std::string& text) { return stream->write(text.data(), text.size()); }

  kj::EventLoop loop;
  kj::WaitScope ws{loop};
  RecordingStream* recorded = nullptr;
  kj::Own<BufferedStream> stream;
};

// What one turn writes goes out in one write, in order, once the loop has run the
// rest of the turn; a shutdown asked for meanwhile comes after it.
TEST_F(GatheredWritesTest, TheWritesOfOneTurnGoOutTogetherAndBeforeTheShutdown) {
  Write("one").wait(ws);
  Write("two").wait(ws);
  const kj::ArrayPtr<const kj::byte> pieces[] = {kj::StringPtr("thr").asBytes(), kj::StringPtr("ee").asBytes()};
  stream->write(pieces).wait(ws);
  stream->shutdownWrite();
  EXPECT_TRUE(recorded->writes.empty());
  EXPECT_TRUE(recorded->shutdownAfter == nullptr);
  ws.poll();
  EXPECT_EQ(recorded->writes, (std::vector<std::string>{"onetwothree"}));
  KJ_IF_MAYBE (after, recorded->shutdownAfter) {
    EXPECT_EQ(*after, 1u);
  } else {
    ADD_FAILURE() << "no shutdown";
  }
  Write("later").wait(ws);
  ws.poll();
  EXPECT_EQ(recorded->writes, (std::vector<std::string>{"onetwothree", "later"}));
}

// Past the bound a writer waits until what is gathered is handed to the socket; a
// failed write fails every write after it.
TEST_F(GatheredWritesTest, ALargeBacklogHoldsTheWriterAndAFailureStaysFailed) {
  const std::string large(300 * 1024, 'x');
  auto held = Write(large);
  EXPECT_TRUE(recorded->writes.empty());  // nothing before the loop runs
  held.wait(ws);
  ASSERT_EQ(recorded->writes.size(), 1u);
  EXPECT_EQ(recorded->writes[0].size(), large.size());

  recorded->failWrites = true;
  Write("lost").wait(ws);  // taken; its failure shows on the next write
  ws.poll();
  EXPECT_THROW(Write("refused").wait(ws), kj::Exception);
  EXPECT_EQ(recorded->writes.size(), 1u);
}

}  // namespace
}  // namespace ledgerwick::host
