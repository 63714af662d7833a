// The daemon's TCP door: it takes TLS, or the operator's explicit --listen-insecure;
// with TLS and a client CA, only a client with a certificate that CA signed gets in.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <fstream>

#include <gtest/gtest.h>

#include "tests/daemon_fixture.h"

namespace ledgerwick::testing {
namespace {

// A TCP port nothing listens on right now.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

class TlsListenTest : public DaemonTest {
 protected:
  void SetUp() override {
    WriteDefaultSettings(1);
    address = "localhost:" + std::to_string(FreePort());
    // A CA, the daemon's certificate for localhost, a client it signed, and a
    // client it did not.
    const std::string script =
        "cd " + dir.path() +
        " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=ca"
        " && openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=localhost"
        " && printf 'subjectAltName=DNS:localhost\\n' > san.ext"
        " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2"
        " -extfile san.ext"
        " && openssl req -newkey rsa:2048 -nodes -keyout client.key -out client.csr -subj /CN=client"
        " && openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out client.pem -days 2"
        " && openssl req -x509 -newkey rsa:2048 -nodes -keyout rogue.key -out rogue.pem -days 2 -subj /CN=rogue"
        " > openssl.log 2>&1";
    ASSERT_EQ(std::system(script.c_str()), 0) << ReadText(dir / "openssl.log");
  }

  std::vector<std::string> Tls() const {
    return {"--listen", address, "--tls-cert", dir / "server.pem", "--tls-key", dir / "server.key",
            "--tls-client-ca", dir / "ca.pem"};
  }

  // The command over TCP only: no socket to fall back on.
  CommandResult OverTcp(std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--address", address});
    return RunCommand(LEDGERWICK_CLI_PATH, args,
                      {{"LEDGERWICK_SOCKET", dir / "nothing.sock"}, {"LEDGERWICK_NO_AUTOSTART", "1"}});
  }

  std::string address;
};

TEST_F(TlsListenTest, ListenWithoutTlsOrInsecureDoesNotStart) {
  CommandResult result = RunCommand(LEDGERWICKD_PATH, DaemonArgs({"--listen", address}));
  EXPECT_EQ(result.code, 1);
  EXPECT_NE(result.err.find("--listen needs TLS"), std::string::npos) << result.err;
  CommandResult halfTls = RunCommand(LEDGERWICKD_PATH, DaemonArgs({"--listen", address, "--tls-cert", dir / "server.pem"}));
  EXPECT_EQ(halfTls.code, 1);
  EXPECT_NE(halfTls.err.find("both --tls-cert and --tls-key"), std::string::npos) << halfTls.err;
  CommandResult badKey = RunCommand(
      LEDGERWICKD_PATH, DaemonArgs({"--listen", address, "--tls-cert", dir / "server.pem", "--tls-key", dir / "ca.pem"}));
  EXPECT_EQ(badKey.code, 1);
  EXPECT_NE(badKey.err.find("TLS key"), std::string::npos) << badKey.err;
}

TEST_F(TlsListenTest, OnlyAClientWithACertificateTheCaSignedGetsIn) {
  StartDaemon(Tls());
  const std::string ca = dir / "ca.pem";
  CommandResult logged = OverTcp({"log", "--tls-ca", ca, "--tls-cert", dir / "client.pem", "--tls-key",
                                  dir / "client.key", "AppName=tls", "Description=over TLS"});
  EXPECT_EQ(logged.code, 0) << logged.err;

  CommandResult rogue = OverTcp({"get", "--tls-ca", ca, "--tls-cert", dir / "rogue.pem", "--tls-key", dir / "rogue.key", "Name"});
  EXPECT_EQ(rogue.code, 3) << rogue.out;
  CommandResult none = OverTcp({"get", "--tls-ca", ca, "Name"});
  EXPECT_EQ(none.code, 3) << none.out;
  CommandResult plain = OverTcp({"get", "--insecure", "Name"});
  EXPECT_EQ(plain.code, 3) << plain.out;
  // Nor does a client accept a daemon whose certificate it cannot check.
  CommandResult unchecked = OverTcp({"get", "--tls-cert", dir / "client.pem", "--tls-key", dir / "client.key", "Name"});
  EXPECT_EQ(unchecked.code, 3) << unchecked.out;

  // The refused ones did not stop the door for the next.
  CommandResult again = OverTcp({"get", "--tls-ca", ca, "--tls-cert", dir / "client.pem", "--tls-key",
                                 dir / "client.key", "Name"});
  EXPECT_EQ(again.code, 0) << again.err << daemon->Stderr();
  EXPECT_EQ(again.out, "Quorvin's Ledgerwick\n");
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);
  auto rows = ReadLogRows(Database());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["Description"], "over TLS");
  // Who sent it: the common name of the certificate it showed; a TCP peer has no uid.
  EXPECT_EQ(rows[0]["SenderName"], "client");
  EXPECT_EQ(rows[0]["SenderUid"], "");
}

TEST_F(TlsListenTest, ListenInsecureTakesPlainTcpWhenTheOperatorSaysSo) {
  StartDaemon({"--listen", address, "--listen-insecure"});
  CommandResult name = OverTcp({"get", "--insecure", "Name"});
  EXPECT_EQ(name.code, 0) << name.err;
  EXPECT_EQ(name.out, "Quorvin's Ledgerwick\n");
  // What is written is for clients the daemon knows: not for a plain TCP peer.
  { std::ofstream(dir / "Ledgwk.log"); }  // an empty text log to read first
  CommandResult follow = OverTcp({"tail", "-f", "-n", "0", "--insecure", "--store", "text", "--config-dir",
                                  dir.path(), "--home", dir.path()});
  EXPECT_EQ(follow.code, 1);
  EXPECT_NE(follow.err.find("error 70: Permission denied: only a client on the daemon's socket"), std::string::npos)
      << follow.err;
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace ledgerwick::testing
