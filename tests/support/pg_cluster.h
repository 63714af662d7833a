#pragma once
// A throwaway PostgreSQL cluster for tests and benchmarks: initdb and pg_ctl in a
// fresh temporary folder, reached only through a Unix socket in that folder, and
// removed with it. Run as root, the server runs as the `postgres` user, since
// PostgreSQL refuses to run as root.

#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace ledgerwick::testing {

class PgCluster {
 public:
  // Creates and starts the cluster; throws std::runtime_error with the tools' log
  // when it cannot.
  PgCluster() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ledgerwick-pg-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    if (geteuid() == 0) {
      const passwd* postgres = getpwnam("postgres");
      if (postgres == nullptr) throw std::runtime_error("no postgres user to run the server as");
      if (chown(folder_.c_str(), postgres->pw_uid, postgres->pw_gid) != 0) throw std::runtime_error("chown failed");
      asUser_ = "postgres";
      user_ = "postgres";
    } else {
      const passwd* self = getpwuid(geteuid());
      user_ = self != nullptr ? self->pw_name : "postgres";
    }
    Tool({"initdb", "-D", data(), "-A", "trust", "-U", user_, "-E", "UTF8", "--locale=C", "--no-sync"});
    Start();
  }

  ~PgCluster() {
    if (running_) RunTool({"pg_ctl", "-D", data(), "-m", "immediate", "-w", "stop"});
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  PgCluster(const PgCluster&) = delete;
  PgCluster& operator=(const PgCluster&) = delete;

  // A libpq connection string for `database` on this cluster.
  std::string ConnInfo(const std::string& database = "postgres") const {
    return "host=" + folder_ + " user=" + user_ + " dbname=" + database;
  }
  const std::string& socketFolder() const { return folder_; }

  void Start() {
    Tool({"pg_ctl", "-D", data(), "-l", folder_ + "/server.log", "-w", "-o",
          "-c listen_addresses='' -c unix_socket_directories='" + folder_ + "'", "start"});
    running_ = true;
  }
  // Stops the server at once, as a crash would: no clean shutdown of connections.
  void StopImmediately() {
    Tool({"pg_ctl", "-D", data(), "-m", "immediate", "-w", "stop"});
    running_ = false;
  }

 private:
  std::string data() const { return folder_ + "/data"; }

  // Runs one of the server's programs (as the server's user), answering its exit
  // status; its output goes to the cluster's tool log.
  int RunTool(std::vector<std::string> args) const {
    args[0] = std::string(LEDGERWICK_PG_BINDIR) + "/" + args[0];
    if (!asUser_.empty()) args.insert(args.begin(), {"runuser", "-u", asUser_, "--"});
    const std::string log = folder_ + "/tools.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void Tool(std::vector<std::string> args) const {
    const std::string name = args[0];
    if (RunTool(std::move(args)) != 0) {
      std::string log;
      if (FILE* f = std::fopen((folder_ + "/tools.log").c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) log.append(buffer, n);
        std::fclose(f);
      }
      throw std::runtime_error(name + " failed:\n" + log);
    }
  }

  std::string folder_;
  std::string user_;
  std::string asUser_;
  bool running_ = false;
};

}  // namespace ledgerwick::testing
