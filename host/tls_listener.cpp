#include "host/tls_listener.h"

#include <fstream>
#include <sstream>

#include <kj/exception.h>

#include "host/start_error.h"

namespace ledgerwick::host {

namespace {

std::string ReadPem(const std::string& path, const char* what) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  if (!in.good() && !in.eof()) throw StartError("ledgerwickd: cannot read the " + std::string(what) + " " + path);
  if (content.str().empty()) throw StartError("ledgerwickd: the " + std::string(what) + " " + path + " is empty or missing");
  return content.str();
}

// Parses with kj, turning its exception into the operator's message.
template <typename Parse>
auto Parsed(const std::string& path, const char* what, Parse&& parse) {
  try {
    return parse(ReadPem(path, what));
  } catch (const kj::Exception& e) {
    throw StartError("ledgerwickd: the " + std::string(what) + " " + path + " cannot be used: " +
                     e.getDescription().cStr());
  }
}

}  // namespace

ServerTls::ServerTls(const TlsFiles& files) {
  keypair_ = kj::heap<kj::TlsKeypair>(kj::TlsKeypair{
      Parsed(files.key, "TLS key", [](const std::string& pem) { return kj::TlsPrivateKey(pem.c_str()); }),
      Parsed(files.certificate, "TLS certificate",
             [](const std::string& pem) { return kj::TlsCertificate(pem.c_str()); })});
  kj::TlsContext::Options options;
  options.defaultKeypair = *keypair_;
  if (!files.clientCa.empty()) {
    clientCa_ = kj::heap(Parsed(files.clientCa, "client CA", [](const std::string& pem) {
      return kj::TlsCertificate(pem.c_str());
    }));
    options.verifyClients = true;
    options.useSystemTrustStore = false;
    options.trustedCertificates = kj::arrayPtr(clientCa_.get(), 1);
  }
  try {
    context_ = kj::heap<kj::TlsContext>(kj::mv(options));
  } catch (const kj::Exception& e) {
    throw StartError(std::string("ledgerwickd: cannot set up TLS: ") + e.getDescription().cStr());
  }
}

}  // namespace ledgerwick::host
