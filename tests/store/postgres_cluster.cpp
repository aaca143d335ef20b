#include "store/postgres_cluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace qvx::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The newest Debian server binaries.
fs::path FindBinaries() {
  fs::path best;
  int best_version = -1;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const fs::path bin = entry.path() / "bin";
    const int version = std::atoi(entry.path().filename().c_str());
    if (version > best_version && fs::exists(bin / "initdb") && fs::exists(bin / "postgres")) {
      best = bin;
      best_version = version;
    }
  }
  if (best.empty())
    throw std::runtime_error(
        "the PostgreSQL server (initdb, postgres in /usr/lib/postgresql/*/bin) is not installed: run "
        "tools/install-deps");
  return best;
}

std::string Tail(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  return s.size() > 2000 ? s.substr(s.size() - 2000) : s;
}

struct Identity {
  bool change = false;
  uid_t uid = 0;
  gid_t gid = 0;
};

// Starts argv as a child writing to the log, as the postgres user when we are root. The
// server child also dies with us.
pid_t Spawn(const std::vector<std::string>& args, const std::string& log, const Identity& who, bool die_with_parent) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out < 0) throw std::runtime_error("cannot write " + log);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) ::_exit(126);
    if (who.change && (::setgroups(0, nullptr) != 0 || ::setgid(who.gid) != 0 || ::setuid(who.uid) != 0)) ::_exit(125);
    // After the change of user, which clears it.
    if (die_with_parent && (::prctl(PR_SET_PDEATHSIG, SIGQUIT) != 0 || ::getppid() != parent)) ::_exit(124);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out);
  if (pid < 0) throw std::runtime_error("fork failed");
  return pid;
}

}  // namespace

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("no free port on 127.0.0.1");
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

int WaitChild(pid_t pid, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  while (Clock::now() < deadline) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

PostgresCluster::PostgresCluster() {
  const fs::path bin = FindBinaries();
  Identity who;
  if (::geteuid() == 0) {
    // initdb and the server refuse to run as root.
    const passwd* pw = ::getpwnam("postgres");
    if (pw == nullptr)
      throw std::runtime_error("running as root needs the postgres system user: run tools/install-deps");
    who = {true, pw->pw_uid, pw->pw_gid};
  }
  std::string pattern = (fs::temp_directory_path() / "qvx71fft-pg-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  try {
    if (who.change && ::chown(dir_.c_str(), who.uid, who.gid) != 0) throw std::runtime_error("chown failed");
    const std::string log = dir_ + "/log";
    const pid_t initdb = Spawn({(bin / "initdb").string(), "-D", dir_ + "/data", "-U", "qvx", "--auth=trust", "-N",
                                "-E", "UTF8", "--locale=C"},
                               log, who, false);
    if (WaitChild(initdb, 120) != 0) throw std::runtime_error("initdb failed:\n" + Tail(log));
    // A port taken between our look and the server's bind is tried again with another.
    for (int attempt = 0; attempt < 3 && server_ < 0; ++attempt) {
      port_ = FreeLoopbackPort();
      const pid_t pid = Spawn({(bin / "postgres").string(), "-D", dir_ + "/data", "-p", std::to_string(port_), "-k",
                               dir_, "-c", "listen_addresses=127.0.0.1", "-c", "fsync=off", "-c",
                               "synchronous_commit=off", "-c", "full_page_writes=off", "-c", "max_connections=40"},
                              log, who, true);
      const std::string ping =
          "host=127.0.0.1 port=" + std::to_string(port_) + " user=qvx dbname=postgres connect_timeout=2";
      const auto deadline = Clock::now() + std::chrono::seconds(60);
      while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) break;
        if (PQping(ping.c_str()) == PQPING_OK) {
          server_ = pid;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (server_ < 0) WaitChild(pid, 0);  // ended, or killed when it never answered
    }
    if (server_ < 0) throw std::runtime_error("the PostgreSQL server did not start:\n" + Tail(log));
  } catch (...) {
    Stop();
    throw;
  }
}

PostgresCluster::~PostgresCluster() { Stop(); }

void PostgresCluster::Stop() noexcept {
  if (server_ > 0) {
    ::kill(server_, SIGINT);  // fast shutdown: ends the sessions, removes its socket
    WaitChild(server_, 30);   // killed when it takes longer
    server_ = -1;
  }
  std::error_code ec;
  if (!dir_.empty()) fs::remove_all(dir_, ec);
}

std::string PostgresCluster::NewDatabase() {
  const std::string name = "store" + std::to_string(++databases_);
  const std::string admin =
      "host=127.0.0.1 port=" + std::to_string(port_) + " user=qvx dbname=postgres connect_timeout=5";
  PGconn* c = PQconnectdb(admin.c_str());
  PGresult* r = PQexec(c, ("CREATE DATABASE " + name).c_str());
  const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  const std::string error = PQerrorMessage(c);
  PQclear(r);
  PQfinish(c);
  if (!ok) throw std::runtime_error("CREATE DATABASE failed: " + error);
  return "postgresql://qvx@127.0.0.1:" + std::to_string(port_) + "/" + name;
}

}  // namespace qvx::test
