#include "host/peer_identity.h"

#include <sys/socket.h>

#include <kj/compat/tls.h>

namespace ledgerwick::host {

namespace {

std::string AddressOf(kj::PeerIdentity& peer) {
  auto text = peer.toString();
  return std::string(text.cStr(), text.size());
}

}  // namespace

recordkit::SenderIdentity IdentityOf(kj::AsyncIoStream& stream, kj::PeerIdentity& peer) {
  recordkit::SenderIdentity identity;
  identity.known = true;
  KJ_IF_MAYBE (fd, stream.getFd()) {
    sockaddr_storage local{};
    socklen_t length = sizeof(local);
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    if (getsockname(*fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 && local.ss_family == AF_UNIX &&
        getsockopt(*fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
      identity.hasCredentials = true;
      identity.uid = credentials.uid;
      identity.gid = credentials.gid;
      identity.pid = credentials.pid;
      return identity;
    }
  }
  identity.subject = AddressOf(peer);
  return identity;
}

recordkit::SenderIdentity TlsIdentityOf(kj::PeerIdentity& peer) {
  recordkit::SenderIdentity identity;
  identity.known = true;
  KJ_IF_MAYBE (tls, kj::dynamicDowncastIfAvailable<kj::TlsPeerIdentity>(peer)) {
    if (tls->hasCertificate()) {
      auto name = tls->getCommonName();
      identity.subject = std::string(name.cStr(), name.size());
      identity.verified = true;
    } else {
      identity.subject = AddressOf(tls->getNetworkIdentity());
    }
    return identity;
  }
  identity.subject = AddressOf(peer);
  return identity;
}

}  // namespace ledgerwick::host
