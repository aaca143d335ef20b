#include "simulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <iterator>
#include <system_error>
#include <utility>

#include "scpi.h"

namespace qvx::sim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Memory stays bounded whatever clients send: at most kMaxConnections are served at once
// (more wait in the listen backlog), each keeps at most kMaxRawBytes of what it received and
// one line of kMaxLineBytes, and replies waiting to leave stop the reading at kMaxPendingBytes.
constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kMaxRawBytes = 1 << 16;       // per connection, for observers
constexpr std::size_t kMaxLineBytes = 1 << 16;      // longer lines are dropped unanswered
constexpr std::size_t kMaxPendingBytes = 1 << 20;   // per connection
constexpr std::size_t kMaxRecorded = 10000;         // commands kept for observers ...
constexpr std::size_t kMaxRecordedBytes = 4 << 20;  // ... and their bytes
constexpr milliseconds kSendBound{5000};            // a reader that never reads loses its connection
constexpr milliseconds kListenChangeBound{3000};

void Signal(const UniqueFd& event) {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(event.Get(), &one, sizeof one);
}

void Drain(const UniqueFd& event) {
  std::uint64_t value = 0;
  [[maybe_unused]] const ssize_t n = ::read(event.Get(), &value, sizeof value);
}

// Sends everything or gives up when the peer stops reading for kSendBound or Stop begins.
bool SendAll(int fd, int stop_fd, std::string_view bytes) {
  const auto deadline = Clock::now() + kSendBound;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      std::array<pollfd, 2> fds{{{fd, POLLOUT, 0}, {stop_fd, POLLIN, 0}}};
      if (::poll(fds.data(), fds.size(), static_cast<int>(left)) < 0 && errno != EINTR) return false;
      if (fds[1].revents != 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

std::string Printable(std::string_view bytes, std::size_t limit = 120) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7f) {
      out.push_back(static_cast<char>(c));
    } else {
      constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  if (bytes.size() > limit) out += "...";
  return out;
}

}  // namespace

std::string ListenAddressError(const std::string& address, bool allow_any) {
  in_addr addr{};
  if (address.find('\0') != std::string::npos || ::inet_pton(AF_INET, address.c_str(), &addr) != 1) {
    return "not a dotted IPv4 address: \"" + Printable(address) + "\"";
  }
  if (!allow_any && (ntohl(addr.s_addr) >> 24) != 127) {
    return "refusing to listen on the non-loopback address " + address + " (--allow-any permits it)";
  }
  return {};
}

struct Simulator::Connection {
  int id = 0;
  UniqueFd fd;         // used by the serving thread only
  std::thread thread;  // guarded by mutex_
  std::string raw;     // guarded by mutex_
  bool open = true;    // guarded by mutex_
  bool finished = false;
};

Simulator::Simulator(SimOptions options) : options_(std::move(options)), instrument_(options_.noise) {}

Simulator::~Simulator() { Stop(); }

const std::string& Simulator::Address() const { return options_.listen_address; }
std::uint16_t Simulator::Port() const { return options_.port; }
const std::string& Simulator::LastError() const { return last_error_; }

bool Simulator::Running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

UniqueFd Simulator::BindListener(std::string& error) const {
  const std::string where = options_.listen_address + ":" + FormatInteger(options_.port);
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    error = "cannot create a socket: " + std::system_category().message(errno);
    return {};
  }
  // Connections of an earlier run may linger in TIME_WAIT on the same address.
  const int one = 1;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(options_.port);
  ::inet_pton(AF_INET, options_.listen_address.c_str(), &addr.sin_addr);
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.Get(), SOMAXCONN) != 0) {
    error = "cannot listen on " + where + ": " + std::system_category().message(errno);
    return {};
  }
  return fd;
}

bool Simulator::Start() {
  if (Running()) {
    last_error_ = "the simulator is already running";
    return false;
  }
  if (std::string error = ListenAddressError(options_.listen_address, options_.allow_any); !error.empty()) {
    last_error_ = std::move(error);
    return false;
  }
  UniqueFd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  UniqueFd control(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stop.Valid() || !control.Valid()) {
    last_error_ = "cannot create an event descriptor: " + std::system_category().message(errno);
    return false;
  }
  std::string error;
  UniqueFd listener = BindListener(error);
  if (!listener.Valid()) {
    last_error_ = error;
    return false;
  }
  const bool refuse = instrument_.Faults().fault == Fault::RefuseConnections;
  if (refuse) listener.Reset();
  listener_ = std::move(listener);
  stop_fd_ = std::move(stop);
  control_fd_ = std::move(control);
  {
    std::lock_guard lock(mutex_);
    running_ = true;
    want_listening_ = !refuse;
    listening_ = !refuse;
  }
  last_error_.clear();
  accept_thread_ = std::thread(&Simulator::AcceptLoop, this);
  return true;
}

void Simulator::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    running_ = false;
  }
  Signal(stop_fd_);
  if (accept_thread_.joinable()) accept_thread_.join();
  // Every serving thread watches the stop event, so these joins are short.
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    for (auto& connection : connections_) {
      if (connection->thread.joinable()) threads.push_back(std::move(connection->thread));
    }
  }
  for (auto& thread : threads) thread.join();
  listener_.Reset();
  {
    std::lock_guard lock(mutex_);
    listening_ = false;
  }
  changed_.notify_all();
  stop_fd_.Reset();
  control_fd_.Reset();
}

void Simulator::AcceptLoop() {
  for (;;) {
    bool room = false;
    {
      std::lock_guard lock(mutex_);
      room = open_ < kMaxConnections;
    }
    std::array<pollfd, 3> fds{{{stop_fd_.Get(), POLLIN, 0},
                               {control_fd_.Get(), POLLIN, 0},
                               {listener_.Valid() && room ? listener_.Get() : -1, POLLIN, 0}}};
    const int rc = ::poll(fds.data(), fds.size(), 500);
    if (rc < 0) {
      if (errno == EINTR) continue;
      Log("accept loop failed: " + std::system_category().message(errno));
      return;
    }
    if (fds[0].revents != 0) return;
    if (fds[1].revents != 0) {
      Drain(control_fd_);
      ApplyListening();
    }
    if (fds[2].fd >= 0 && listener_.Valid() && (fds[2].revents & POLLIN) != 0) {
      UniqueFd fd(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (fd.Valid()) {
        // Each reply piece leaves at once, so split replies arrive as separate segments.
        const int one = 1;
        ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto connection = std::make_unique<Connection>();
        connection->fd = std::move(fd);
        Connection* raw = connection.get();
        {
          std::lock_guard lock(mutex_);
          raw->id = static_cast<int>(++accepted_);
          ++open_;
          connections_.push_back(std::move(connection));
          try {
            raw->thread = std::thread(&Simulator::ServeConnection, this, raw);
          } catch (const std::system_error&) {
            raw->fd.Reset();
            raw->open = false;
            raw->finished = true;
            --open_;
          }
        }
        changed_.notify_all();
        if (options_.verbose) Log("[" + FormatInteger(raw->id) + "] connected");
      }
    }
    ReapFinished();
  }
}

void Simulator::ApplyListening() {
  std::uint64_t request = 0;
  bool want = true;
  {
    std::lock_guard lock(mutex_);
    request = listen_requests_;
    want = want_listening_;
  }
  if (want && !listener_.Valid()) {
    std::string error;
    listener_ = BindListener(error);
    if (!listener_.Valid()) Log(error);
  } else if (!want && listener_.Valid()) {
    listener_.Reset();
  }
  {
    std::lock_guard lock(mutex_);
    listening_ = listener_.Valid();
    listen_applied_ = request;
  }
  changed_.notify_all();
}

void Simulator::ReapFinished() {
  std::vector<std::unique_ptr<Connection>> done;
  {
    std::lock_guard lock(mutex_);
    const auto finished =
        std::stable_partition(connections_.begin(), connections_.end(), [](const auto& c) { return !c->finished; });
    std::move(finished, connections_.end(), std::back_inserter(done));
    connections_.erase(finished, connections_.end());
  }
  for (auto& connection : done) {
    if (connection->thread.joinable()) connection->thread.join();
  }
}

void Simulator::Record(Connection* connection, std::string_view line, Clock::time_point at) {
  if (options_.verbose) Log("[" + FormatInteger(connection->id) + "] < " + Printable(line));
  {
    std::lock_guard lock(mutex_);
    commands_.push_back({std::string(line), at, connection->id});
    recorded_bytes_ += line.size();
    while (commands_.size() > kMaxRecorded || recorded_bytes_ > kMaxRecordedBytes) {
      recorded_bytes_ -= commands_.front().line.size();
      commands_.pop_front();
    }
  }
  changed_.notify_all();
}

void Simulator::ServeConnection(Connection* connection) {
  struct Pending {
    Clock::time_point due;
    ReplyPiece piece;
    AfterReply after;
  };
  std::deque<Pending> outgoing;
  std::size_t pending_bytes = 0;
  Clock::time_point last_due = Clock::now();
  std::string partial;
  bool overlong = false;
  bool stalled = false;
  bool done = false;
  const int fd = connection->fd.Get();
  const std::string tag = "[" + FormatInteger(connection->id) + "] ";
  std::array<char, 4096> buffer{};

  // Replies are scheduled, not slept for: lines that arrive meanwhile are still read
  // and time-stamped when they come.
  auto schedule = [&](const Reply& reply, Clock::time_point at) {
    if (stalled || (reply.pieces.empty() && reply.after == AfterReply::Continue)) return;
    auto due = std::max(at, last_due);
    for (std::size_t i = 0; i < reply.pieces.size(); ++i) {
      due += reply.pieces[i].delay;
      const bool last = i + 1 == reply.pieces.size();
      outgoing.push_back({due, reply.pieces[i], last ? reply.after : AfterReply::Continue});
      pending_bytes += reply.pieces[i].Size();
    }
    if (reply.pieces.empty()) outgoing.push_back({due, {}, reply.after});
    last_due = due;
  };

  // One complete line: a line longer than kMaxLineBytes is dropped, as an instrument's full
  // input buffer would drop it.
  auto take_line = [&](Clock::time_point at) {
    std::string line = std::move(partial);
    partial = std::string();
    if (std::exchange(overlong, false)) {
      if (options_.verbose) Log(tag + "line too long, dropped");
      return;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Record(connection, line, at);
    const Reply reply = instrument_.Execute(line);
    if (options_.verbose && !reply.summary.empty()) Log(tag + "> " + Printable(reply.summary));
    schedule(reply, at);
  };

  while (!done) {
    int timeout = 1000;
    if (!outgoing.empty()) {
      const auto left = std::chrono::ceil<milliseconds>(outgoing.front().due - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<long long>(left, 0, 1000));
    }
    // Too many replies waiting: the client is not reading; stop taking its lines for now.
    const short wanted = pending_bytes < kMaxPendingBytes ? POLLIN : 0;
    std::array<pollfd, 2> fds{{{fd, wanted, 0}, {stop_fd_.Get(), POLLIN, 0}}};
    const int rc = ::poll(fds.data(), fds.size(), timeout);
    if (rc < 0 && errno != EINTR) break;
    if (rc > 0 && fds[1].revents != 0) break;
    if (rc > 0 && fds[0].revents != 0) {
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        break;
      }
      const auto at = Clock::now();
      std::string_view chunk(buffer.data(), static_cast<std::size_t>(n));
      {
        std::lock_guard lock(mutex_);
        if (connection->raw.size() < kMaxRawBytes) {
          connection->raw.append(chunk.substr(0, kMaxRawBytes - connection->raw.size()));
        }
      }
      while (!chunk.empty()) {
        const std::size_t lf = chunk.find('\n');
        const std::string_view piece = chunk.substr(0, lf);
        if (!overlong && partial.size() + piece.size() > kMaxLineBytes) {
          overlong = true;
          partial = std::string();
        }
        if (!overlong) partial.append(piece);
        if (lf == std::string_view::npos) break;
        chunk.remove_prefix(lf + 1);
        take_line(at);
      }
    }
    const auto now = Clock::now();
    while (!outgoing.empty() && outgoing.front().due <= now) {
      const Pending piece = std::move(outgoing.front());
      outgoing.pop_front();
      pending_bytes -= piece.piece.Size();
      std::string_view slice;
      if (piece.piece.shared)
        slice = std::string_view(*piece.piece.shared).substr(piece.piece.shared_offset, piece.piece.shared_length);
      if ((!piece.piece.bytes.empty() && !SendAll(fd, stop_fd_.Get(), piece.piece.bytes)) ||
          (!slice.empty() && !SendAll(fd, stop_fd_.Get(), slice))) {
        done = true;
        break;
      }
      if (piece.after == AfterReply::Close) {
        done = true;
        break;
      }
      if (piece.after == AfterReply::Stall) {
        stalled = true;
        outgoing.clear();
        pending_bytes = 0;
        break;
      }
    }
  }

  connection->fd.Reset();
  {
    std::lock_guard lock(mutex_);
    connection->open = false;
    connection->finished = true;
    --open_;
  }
  changed_.notify_all();
  Signal(control_fd_);  // the accept thread joins this thread and frees its place
  if (options_.verbose) Log(tag + "closed");
}

void Simulator::Log(const std::string& text) const {
  std::lock_guard lock(log_mutex_);
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

SimState Simulator::State() const { return instrument_.State(); }
void Simulator::SetState(const SimState& state) { instrument_.SetState(state); }
FaultSettings Simulator::Faults() const { return instrument_.Faults(); }
NoiseModel Simulator::Noise() const { return instrument_.Noise(); }
void Simulator::SetNoise(const NoiseModel& noise) { instrument_.SetNoise(noise); }
std::vector<std::string> Simulator::Errors() const { return instrument_.Errors(); }

void Simulator::SetFault(Fault fault) {
  FaultSettings faults = instrument_.Faults();
  faults.fault = fault;
  SetFaults(faults);
}

void Simulator::SetFaults(const FaultSettings& faults) {
  instrument_.SetFaults(faults);
  const bool want = faults.fault != Fault::RefuseConnections;
  std::unique_lock lock(mutex_);
  if (!running_ || want == want_listening_) {
    want_listening_ = want;
    return;
  }
  want_listening_ = want;
  const std::uint64_t request = ++listen_requests_;
  Signal(control_fd_);
  changed_.wait_for(lock, kListenChangeBound, [&] { return listen_applied_ >= request || !running_; });
}

bool Simulator::Listening() const {
  std::lock_guard lock(mutex_);
  return listening_;
}

std::vector<ReceivedCommand> Simulator::Commands() const {
  std::lock_guard lock(mutex_);
  return {commands_.begin(), commands_.end()};
}

std::vector<std::string> Simulator::Lines() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> lines;
  lines.reserve(commands_.size());
  for (const auto& command : commands_) lines.push_back(command.line);
  return lines;
}

void Simulator::ClearCommands() {
  std::lock_guard lock(mutex_);
  commands_.clear();
  recorded_bytes_ = 0;
}

bool Simulator::WaitForCommandCount(std::size_t n, milliseconds deadline) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, deadline, [&] { return commands_.size() >= n; });
}

bool Simulator::WaitForLine(const std::string& line, milliseconds deadline) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, deadline, [&] {
    return std::any_of(commands_.begin(), commands_.end(),
                       [&](const ReceivedCommand& command) { return command.line == line; });
  });
}

std::size_t Simulator::AcceptedConnections() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

std::size_t Simulator::OpenConnections() const {
  std::lock_guard lock(mutex_);
  return open_;
}

bool Simulator::WaitForAcceptedConnections(std::size_t n, milliseconds deadline) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, deadline, [&] { return accepted_ >= n; });
}

bool Simulator::WaitForOpenConnections(std::size_t n, milliseconds deadline) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, deadline, [&] { return open_ == n; });
}

std::string Simulator::RawBytes(int connection) const {
  std::lock_guard lock(mutex_);
  for (const auto& c : connections_) {
    if (c->id == connection) return c->raw;
  }
  return {};
}

std::size_t Simulator::KeptConnections() const {
  std::lock_guard lock(mutex_);
  return connections_.size();
}

bool Simulator::ConnectionOpen(int connection) const {
  std::lock_guard lock(mutex_);
  for (const auto& c : connections_) {
    if (c->id == connection) return c->open;
  }
  return false;
}

}  // namespace qvx::sim
