// Clients that break the protocol or never read: the daemon drops them and goes on
// serving the others; many short-lived clients leave nothing behind.

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <capnp/message.h>
#include <capnp/rpc.capnp.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include "recordkit/property_set.h"
#include "server/ledgerwick.capnp.h"
#include "tests/daemon_fixture.h"

namespace ledgerwick::testing {
namespace {

using automation::Variant;

constexpr int kToFile = 0;

class HostileClientsTest : public DaemonTest {
 protected:
  // A bare, blocking connection to the daemon's socket.
  int RawConnection() const {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, Socket().c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0) << std::strerror(errno);
    return fd;
  }

  // Blocks until the daemon closes `fd` (true), reading and dropping what it sends.
  static bool UntilClosed(int fd) {
    char buffer[4096];
    for (;;) {
      pollfd watch{fd, POLLIN, 0};
      // The limit only guards the test run.
      if (poll(&watch, 1, 60000) <= 0) return false;
      ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
      if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
      if (n < 0 && errno != EINTR) return false;
    }
  }

  // A normal client still logs, and its record is written.
  void ANormalClientLogs(const std::string& what) {
    client::Application app(ClientOptions());
    auto fields = recordkit::PropertySet::NewEventSet();
    fields->Item("AppName")->SetValue(Variant::String(what));
    app.Loggit(*fields);
    client::DaemonStatus before = app.connection()->Status();
    EXPECT_TRUE(WaitUntilWritten(app, before.toTextLog + 1)) << what;
    EXPECT_NE(ReadText(TextLog(dir.path())).find(what), std::string::npos) << what;
  }

  // The descriptors the daemon holds open.
  size_t DaemonDescriptors() const {
    size_t count = 0;
    DIR* fds = opendir(("/proc/" + std::to_string(daemon->pid()) + "/fd").c_str());
    if (fds == nullptr) return 0;
    while (dirent* entry = readdir(fds)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(fds);
    return count;
  }

  // The daemon's counts, read with the ledgerwick command on a connection of its own.
  long StatusField(const std::string& name) {
    const std::string json = Ledgerwick({"status", "--json"}).out;
    const std::string key = "\"" + name + "\":";
    std::string::size_type at = json.find(key);
    return at == std::string::npos ? -1 : std::stol(json.substr(at + key.size()));
  }
};

// One message of the RPC protocol, framed as on the wire.
kj::Array<capnp::word> Frame(capnp::MessageBuilder& message) { return capnp::messageToFlatArray(message); }

kj::Array<capnp::word> BootstrapMessage() {
  capnp::MallocMessageBuilder message;
  message.initRoot<capnp::rpc::Message>().initBootstrap().setQuestionId(0);
  return Frame(message);
}

// Factory.create on the bootstrap answer, with an identifier nothing answers to:
// each call gets a status back.
kj::Array<capnp::word> CreateCall(uint32_t questionId) {
  capnp::MallocMessageBuilder message;
  auto call = message.initRoot<capnp::rpc::Message>().initCall();
  call.setQuestionId(questionId);
  call.initTarget().initPromisedAnswer().setQuestionId(0);
  call.setInterfaceId(capnp::typeId<rpc::Factory>());
  call.setMethodId(0);
  call.initParams().initContent().initAs<rpc::Factory::CreateParams>().setProgId("No.Such.Class");
  return Frame(message);
}

bool SendAll(int fd, kj::ArrayPtr<const capnp::word> words) {
  auto bytes = words.asBytes();
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.begin() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

TEST_F(HostileClientsTest, AClientThatSendsGarbageIsDropped) {
  WriteSettings(dir.path(), kToFile, dir.path(), "");
  StartDaemon();
  const std::vector<std::string> garbage = {
      std::string(4096, '\xff'),                       // a segment table of four billion segments
      std::string("GET / HTTP/1.1\r\nHost: x\r\n\r\n"),  // the wrong protocol
      std::string("\0\0\0\0\xff\xff\xff\x7f", 8) + std::string(64, 'x'),  // one segment far larger than sent
  };
  for (const std::string& bytes : garbage) {
    int fd = RawConnection();
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    // The last one never completes its message: closing its writing half ends it.
    shutdown(fd, SHUT_WR);
    EXPECT_TRUE(UntilClosed(fd)) << bytes.substr(0, 16);
    close(fd);
  }
  ANormalClientLogs("after the garbage");
  EXPECT_EQ(daemon->Stop(SIGTERM), 0) << daemon->Stderr();
}

// A client that floods calls and never reads an answer: the answers pile up in the
// daemon until it drops the client; a normal client logs meanwhile and after.
TEST_F(HostileClientsTest, AClientThatNeverReadsIsDropped) {
  WriteSettings(dir.path(), kToFile, dir.path(), "");
  StartDaemon();
  int flooder = RawConnection();
  ASSERT_TRUE(SendAll(flooder, BootstrapMessage()));
  bool sent = true;
  uint32_t question = 1;
  for (; question < 200 && sent; ++question) sent = SendAll(flooder, CreateCall(question));
  ASSERT_TRUE(sent);
  ANormalClientLogs("beside the flood");
  // Until the daemon closes the connection, refusing what is sent.
  for (; question < 5000000 && sent; ++question) sent = SendAll(flooder, CreateCall(question));
  EXPECT_FALSE(sent) << "the daemon took " << question << " calls without its answers being read";
  close(flooder);
  ASSERT_NE(StatusField("pid"), -1) << daemon->Stderr();
  ANormalClientLogs("after the flood");
  EXPECT_EQ(CountLines(ReadText(FaultLog()), "dropped a client that does not read its answers"), 1u)
      << ReadText(FaultLog());
  EXPECT_EQ(daemon->Stop(SIGTERM), 0) << daemon->Stderr();
}

TEST_F(HostileClientsTest, AThousandClientsComeAndGoAndLeaveNothingBehind) {
  WriteSettings(dir.path(), kToFile, dir.path(), "");
  StartDaemon();
  ANormalClientLogs("first");  // start-up done, its files opened and closed
  const size_t before = DaemonDescriptors();
  ASSERT_GT(before, 0u);

  auto fields = recordkit::PropertySet::NewEventSet();
  fields->Item("AppName")->SetValue(Variant::String("one of many"));
  for (int i = 0; i < 1000; ++i) {
    client::Application app(ClientOptions());
    app.Loggit(*fields);
  }
  bool released = false;
  for (int i = 0; i < 200 && !released; ++i) {
    released = StatusField("liveObjects") == 0 && StatusField("instanceCount") == 0;
  }
  EXPECT_TRUE(released);
  // The command's own connection may still be open for a moment.
  size_t after = DaemonDescriptors();
  for (int i = 0; i < 200 && after > before; ++i) {
    StatusField("connections");
    after = DaemonDescriptors();
  }
  EXPECT_LE(after, before);
  ANormalClientLogs("last");
  EXPECT_EQ(CountLines(ReadText(TextLog(dir.path())), "one of many"), 1000u);
  EXPECT_EQ(daemon->Stop(SIGTERM), 0) << daemon->Stderr();
}

}  // namespace
}  // namespace ledgerwick::testing
