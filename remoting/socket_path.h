#pragma once
// Where ledgerwickd listens, found the same way by the daemon and by its clients.

#include <string>

namespace ledgerwick {

// `given` when not empty; else $LEDGERWICK_SOCKET; else /run/ledgerwick/ledgerwick.sock
// for root and $XDG_RUNTIME_DIR/ledgerwick.sock for other users (/tmp/ledgerwick-UID/
// ledgerwick.sock when that variable is unset).
std::string ResolveSocketPath(const std::string& given);

// The folder that holds `socketPath`: "." for a bare name, "/" for one at the root.
std::string SocketFolder(const std::string& socketPath);

// Whoever may remove or rename entries in the socket's folder can swap the socket
// for one of their own and take every client's events, and so can whoever may rename
// the folder itself. Answers why `folder` is such a place (it belongs to a user
// other than this process's and root; its group or others may write in it and it is
// not sticky, as /tmp is; or others may write in the folder above it, not sticky), or
// the empty text when it is not, or does not exist.
std::string UnsafeSocketFolder(const std::string& folder);

}  // namespace ledgerwick
