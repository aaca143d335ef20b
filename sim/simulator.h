#pragma once
// The simulated instrument on TCP: listens on a loopback address, serves every connection
// with its own thread, answers through an Instrument, and records what it received.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "instrument.h"
#include "noise_model.h"
#include "sim_state.h"
#include "unique_fd.h"

namespace qvx::sim {

struct SimOptions {
  std::string listen_address = "127.0.0.1";
  std::uint16_t port = 5555;
  bool verbose = false;    // each received line and a reply summary on stderr
  bool allow_any = false;  // permits a non-loopback listen address
  NoiseModel noise;
};

struct ReceivedCommand {
  std::string line;                          // without its LF and a trailing CR
  std::chrono::steady_clock::time_point at;  // when the line's last segment arrived
  int connection;                            // 1 for the first accepted connection, then 2, ...
};

// Why the simulator would refuse to listen on `address` (not a dotted IPv4 address, or not
// loopback without allow_any); empty when it may.
std::string ListenAddressError(const std::string& address, bool allow_any);

class Simulator {
 public:
  explicit Simulator(SimOptions options = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Binds and starts serving. False, with LastError() telling why, when the address is not
  // a loopback IPv4 address (unless allow_any), is taken, or the simulator already runs.
  bool Start();
  // Closes the listener and every connection and joins all threads. Safe to call twice.
  void Stop();
  bool Running() const;
  const std::string& LastError() const;

  const std::string& Address() const;
  std::uint16_t Port() const;

  SimState State() const;
  void SetState(const SimState& state);
  FaultSettings Faults() const;
  // RefuseConnections closes the listener before this returns; any other fault reopens it.
  void SetFaults(const FaultSettings& faults);
  void SetFault(Fault fault);  // that fault with the other settings unchanged
  NoiseModel Noise() const;
  void SetNoise(const NoiseModel& noise);
  std::vector<std::string> Errors() const;
  bool Listening() const;

  // Observability. The most recent commands are kept (at most 10 000 lines and 4 MiB).
  std::vector<ReceivedCommand> Commands() const;
  std::vector<std::string> Lines() const;
  void ClearCommands();
  bool WaitForCommandCount(std::size_t n, std::chrono::milliseconds deadline) const;
  bool WaitForLine(const std::string& line, std::chrono::milliseconds deadline) const;
  std::size_t AcceptedConnections() const;
  std::size_t OpenConnections() const;
  bool WaitForAcceptedConnections(std::size_t n, std::chrono::milliseconds deadline) const;
  // Waits until exactly n connections are open.
  bool WaitForOpenConnections(std::size_t n, std::chrono::milliseconds deadline) const;
  // The first 64 KiB received on a connection (by id), exactly as they arrived; empty once
  // the connection has closed and been cleared away.
  std::string RawBytes(int connection) const;
  bool ConnectionOpen(int connection) const;
  // Connections whose records are held: open ones and those closed but not yet cleared away.
  std::size_t KeptConnections() const;

 private:
  struct Connection;

  UniqueFd BindListener(std::string& error) const;
  void AcceptLoop();
  void ServeConnection(Connection* connection);
  void ApplyListening();
  void ReapFinished();
  void Record(Connection* connection, std::string_view line, std::chrono::steady_clock::time_point at);
  void Log(const std::string& text) const;

  SimOptions options_;
  Instrument instrument_;
  std::string last_error_;

  UniqueFd listener_;    // owned by the accept thread while running
  UniqueFd stop_fd_;     // eventfd, readable once Stop began
  UniqueFd control_fd_;  // eventfd, wakes the accept thread: listener change, connection ended
  std::thread accept_thread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool running_ = false;
  bool want_listening_ = true;
  bool listening_ = false;
  std::uint64_t listen_requests_ = 0;  // listener changes asked for by SetFaults
  std::uint64_t listen_applied_ = 0;   // ... and carried out by the accept thread
  std::deque<ReceivedCommand> commands_;
  std::size_t recorded_bytes_ = 0;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::size_t accepted_ = 0;
  std::size_t open_ = 0;

  mutable std::mutex log_mutex_;
};

}  // namespace qvx::sim
