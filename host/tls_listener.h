#pragma once
// TLS for the daemon's TCP listeners: its certificate and key, and when asked, the
// CA whose certificates a client must present.

#include <memory>
#include <string>

#include <kj/compat/tls.h>
#include <kj/timer.h>

namespace ledgerwick::host {

struct TlsFiles {
  std::string certificate;  // PEM: the daemon's certificate (chain)
  std::string key;          // PEM: its private key
  std::string clientCa;     // PEM: clients must present a certificate it signed; empty: none asked
};

// How long a client may take to finish its TLS handshake.
constexpr kj::Duration kTlsHandshakeTimeout = 10 * kj::SECONDS;

// The TLS context of the listeners, with what it was made from. Raises StartError
// naming the file that cannot be read or parsed.
class ServerTls {
 public:
  explicit ServerTls(const TlsFiles& files);
  kj::TlsContext& context() { return *context_; }

 private:
  kj::Own<kj::TlsKeypair> keypair_;
  kj::Own<kj::TlsCertificate> clientCa_;
  kj::Own<kj::TlsContext> context_;
};

}  // namespace ledgerwick::host
