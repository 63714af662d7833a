// What one connection may hold of the daemon: a bounded number of Applications, and
// everything it held goes when it closes.

#include <signal.h>

#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "automation/automation_error.h"
#include "tests/daemon_fixture.h"

namespace ledgerwick::testing {
namespace {

using automation::AutomationError;

constexpr int kToFile = 0;
// The daemon's bound on the Applications of one connection.
constexpr uint32_t kMaxApplicationsPerConnection = 1024;

class ConnectionLimitsTest : public DaemonTest {
 protected:
  // A status field of the daemon, read with the ledgerwick command on a connection
  // of its own (a thread holds one connection of the client library); -1 when absent.
  long StatusField(const std::string& name) {
    const std::string json = Ledgerwick({"status", "--json"}).out;
    const std::string key = "\"" + name + "\":";
    std::string::size_type at = json.find(key);
    return at == std::string::npos ? -1 : std::stol(json.substr(at + key.size()));
  }

  // Asks until the daemon holds no Application and no instance.
  bool UntilReleased() {
    for (int i = 0; i < 200; ++i) {
      if (StatusField("liveObjects") == 0 && StatusField("instanceCount") == 0) return true;
    }
    return false;
  }
};

TEST_F(ConnectionLimitsTest, OneConnectionHoldsABoundedNumberOfApplications) {
  WriteSettings(dir.path(), kToFile, dir.path(), "");
  StartDaemon();
  {
    auto greedy = client::Connection::Open(ClientOptions());
    std::vector<std::unique_ptr<client::Application>> held;
    for (uint32_t i = 0; i < kMaxApplicationsPerConnection; ++i) {
      held.push_back(std::make_unique<client::Application>(greedy));
    }
    try {
      client::Application onePastTheBound(greedy);
      ADD_FAILURE() << "a connection took more Applications than its bound";
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.number(), 7);
      EXPECT_NE(e.description().find("at most 1024 Application objects"), std::string::npos) << e.description();
    }
    // The connection goes on serving what it holds, and a released one makes room.
    EXPECT_EQ(held.front()->GetName(), "Quorvin's Ledgerwick");
    held.pop_back();
    held.push_back(std::make_unique<client::Application>(greedy));
    // Another connection is not held to this one's count.
    CommandResult other = Ledgerwick({"get", "Name"});
    EXPECT_EQ(other.out, "Quorvin's Ledgerwick\n") << other.err;
    EXPECT_EQ(StatusField("liveObjects"), static_cast<long>(kMaxApplicationsPerConnection));
  }
  EXPECT_TRUE(UntilReleased());
  EXPECT_EQ(daemon->Stop(SIGTERM), 0);
}

// Objects that hold themselves or each other (through Key or a field's value) go
// with the connection that made them, and the idle exit then comes.
TEST_F(ConnectionLimitsTest, ObjectsThatHoldEachOtherGoWithTheirConnection) {
  WriteSettings(dir.path(), kToFile, dir.path(), "");
  StartDaemon({"--idle-exit", "0.2"});
  {
    auto connection = client::Connection::Open(ClientOptions());
    client::Application self(connection);
    self.SetKeyRef(self.AsObject());
    client::Application field(connection);
    field.Properties().Item("UserComment").SetValue(field.AsObject());
    client::Application first(connection);
    client::Application second(connection);
    first.SetKey(second.AsObject());
    second.Properties().Item("EventData").SetValue(first.AsObject());
    // Held: the object in its own Key comes back as itself.
    EXPECT_EQ(self.GetKey().type(), automation::VarType::Object);
    EXPECT_EQ(StatusField("liveObjects"), 4);
  }
  // Released: the daemon holds no object and no instance, or it has gone already
  // (status finds nothing to ask), as its idle exit waits for exactly that.
  bool released = false;
  long live = 0;
  for (int i = 0; i < 200 && !released; ++i) {
    live = StatusField("liveObjects");
    released = live == -1 || (live == 0 && StatusField("instanceCount") == 0);
  }
  if (!released) {
    ADD_FAILURE() << "live objects " << live << ", instances " << StatusField("instanceCount");
    daemon->Stop(SIGTERM);
    return;
  }
  EXPECT_EQ(daemon->Wait(), 0);
  EXPECT_EQ(CountLines(daemon->Stderr(), "ledgerwickd: idle, stopping"), 1u) << daemon->Stderr();
}

}  // namespace
}  // namespace ledgerwick::testing
