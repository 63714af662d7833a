#include <capnp/message.h>
#include <gtest/gtest.h>

#include "host/application_server.h"
#include "remoting/rpc_status.h"

namespace ledgerwick::host {
namespace {

// An answer of taken records, built as the batch door builds it, fits the room given
// for it: one segment, no larger than asked for (beside the message's root pointer).
TEST(BatchAnswerSize, AnAnswerOfTakenRecordsFitsInItsRoom) {
  for (size_t records : {size_t{0}, size_t{1}, size_t{3}, size_t{256}, size_t{4000}}) {
    SCOPED_TRACE(records);
    const capnp::MessageSize room = BatchAnswerSize(records);
    capnp::MallocMessageBuilder message(static_cast<unsigned>(room.wordCount + 1),
                                        capnp::AllocationStrategy::FIXED_SIZE);
    auto results = message.initRoot<rpc::EventBatch::LoggitBatchResults>();
    auto statuses = results.initStatuses(static_cast<unsigned>(records));
    for (auto status : statuses) remoting::SetOk(status);
    remoting::SetOk(results.initStatus());
    EXPECT_EQ(message.getSegmentsForOutput().size(), 1u);
    EXPECT_LE(message.getSegmentsForOutput()[0].size(), room.wordCount + 1);
  }
}

}  // namespace
}  // namespace ledgerwick::host
