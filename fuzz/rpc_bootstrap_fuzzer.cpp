// Bytes a client sends to the daemon's socket: Cap'n Proto RPC messages to the
// bootstrap factory and whatever it hands out, served by a fresh process state per
// input. The daemon answers what it can and drops the connection on what it cannot;
// it never crashes, and nothing it holds outlives the connection.

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include <kj/async-io.h>
#include <kj/debug.h>

#include "fuzz/rpc_rig.h"

namespace {

// Reads and drops what the daemon answers, so that its writes never wait on us.
kj::Promise<void> DiscardAnswers(kj::AsyncIoStream& stream, kj::byte* buffer, size_t size) {
  return stream.tryRead(buffer, 1, size).then([&stream, buffer, size](size_t n) -> kj::Promise<void> {
    if (n == 0) return kj::READY_NOW;
    return DiscardAnswers(stream, buffer, size);
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ledgerwick::fuzzing::RpcRig rig;
  kj::byte answers[4096];
  auto reading = DiscardAnswers(*rig.client, answers, sizeof answers).eagerlyEvaluate([](kj::Exception&&) {});
  auto writing = rig.client->write(data, size)
                     .then([&rig]() { rig.client->shutdownWrite(); })
                     .eagerlyEvaluate([](kj::Exception&&) {});

  // Long enough for start-up, a Loggit and a few drain ticks.
  rig.RunFor(2 * kj::SECONDS);
  rig.server.CloseConnections();
  rig.RunFor(1 * kj::SECONDS);

  if (rig.host.connections != 0 || rig.host.liveObjects != 0) {
    throw std::logic_error("a closed connection left objects behind");
  }
  return 0;
}
