#pragma once
// A throwaway PostgreSQL server for the store's tests: its own cluster in a temporary folder,
// listening on a free port of 127.0.0.1 and a socket in that folder only, stopped and removed
// on destruction. As root the server runs as the postgres system user.
#include <sys/types.h>

#include <string>

namespace qvx::test {

class PostgresCluster {
 public:
  // Throws std::runtime_error saying what is missing (the binaries: run tools/install-deps).
  PostgresCluster();
  ~PostgresCluster();
  PostgresCluster(const PostgresCluster&) = delete;
  PostgresCluster& operator=(const PostgresCluster&) = delete;

  // A new empty database; its URL.
  std::string NewDatabase();
  int Port() const { return port_; }

 private:
  void Stop() noexcept;
  std::string dir_;
  pid_t server_ = -1;
  int port_ = 0;
  int databases_ = 0;
};

// A TCP port of 127.0.0.1 that nothing listened on a moment ago.
int FreeLoopbackPort();

// Waits at most `seconds` for the child to end; its wait status, or -1 after killing it.
int WaitChild(pid_t pid, double seconds);

}  // namespace qvx::test
