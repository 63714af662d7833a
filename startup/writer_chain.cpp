#include "startup/writer_chain.h"

#include "writer/store_target.h"
#include "writer/text_log.h"

namespace ledgerwick {

void BuildWriterChain(ProcessState& state) {
  state.writer.SetTargets(kj::heap<StoreTarget>(state.NetDSO, state.NetDTO, state.faultLog, "network store"),
                          kj::heap<StoreTarget>(state.LocalDSO, state.LocalDTO, state.faultLog, "local store"),
                          kj::heap<TextLog>(state.env.files, state.Packer(), state.faultLog, state.env.worker, state.TextLogPath));
}

}  // namespace ledgerwick
