#pragma once
// Who is at the other end of an accepted connection, as the kernel or the TLS
// handshake tells it: never what the client says of itself.

#include <kj/async-io.h>

#include "recordkit/sender_identity.h"

namespace ledgerwick::host {

// A Unix socket's peer: the uid, gid and pid of the process that connected
// (SO_PEERCRED). Any other stream: its network address, as the subject.
recordkit::SenderIdentity IdentityOf(kj::AsyncIoStream& stream, kj::PeerIdentity& peer);

// A TLS connection's peer: the common name of its client certificate when it showed
// one, else its network address, as the subject.
recordkit::SenderIdentity TlsIdentityOf(kj::PeerIdentity& peer);

}  // namespace ledgerwick::host
