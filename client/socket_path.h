#pragma once
// Where ledgerwickd listens, found the same way by the daemon and by its clients.

#include <string>

namespace ledgerwick {

// `given` when not empty; else $LEDGERWICK_SOCKET; else /run/ledgerwick/ledgerwick.sock
// for root and $XDG_RUNTIME_DIR/ledgerwick.sock for other users (/tmp/ledgerwick-UID/
// ledgerwick.sock when that variable is unset).
std::string ResolveSocketPath(const std::string& given);

}  // namespace ledgerwick
