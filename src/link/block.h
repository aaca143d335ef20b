#pragma once
// The one reader of definite-length blocks ("#<n><n digits><data><LF>"). The window's trace
// and the time record both read through it, each with its own bounds; where the bytes go is
// the caller's (`room`), so memory never follows what a block announces.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "link/instrument_channel.h"

namespace qvx {

struct BlockRules {
  // The window's reading: any two header bytes, then nine length digits read by the usual
  // text-to-integer rules, and the first receive that brings nothing ends the read. Strict:
  // '#', one digit n, n length digits, and a wait that brings nothing is retried until a bound.
  bool lenient = false;
  int header_ms = 2000;       // the two header bytes
  int digits_ms = 1000;       // the length digits
  int receive_ms = 2000;      // the longest single wait
  int quiet_ms = 2000;        // strict: inside the block, the longest without a byte
  int whole_block_ms = 30000; // the data and its line end, from the first data byte's wait
  std::int64_t expected_length = -1;  // strict: another length but 0 is bad data; -1: any
  const std::atomic<bool>* cancel = nullptr;
};

enum class BlockStatus {
  kOk,
  kEmpty,      // a block of length 0 (strict), as an instrument sends in refusing a read
  kTransport,  // nothing more came in time, or the connection closed
  kBadData,    // not a block, a length that is no number or not the one asked for
  kCancelled,
};

struct BlockOutcome {
  BlockStatus status = BlockStatus::kTransport;
  std::int64_t length = 0;    // as announced
  std::int64_t received = 0;  // data bytes that came
  bool peer_closed = false;
  std::string message;  // what went wrong, in words for the user; empty when read
  bool ok() const { return status == BlockStatus::kOk; }
};

// Where the next data bytes go: at most `size` of them at `into`, given the bytes received so
// far and the block's length. A room of size 0 ends the read as bad data.
struct BlockRoom {
  char* into = nullptr;
  std::size_t size = 0;
};
using BlockRoomFunction = std::function<BlockRoom(std::int64_t received, std::int64_t length)>;

// Reads one block; the line end after the data is read too (lenient: whatever happened).
BlockOutcome ReadDefiniteBlock(InstrumentChannel& ch, const BlockRules& rules, const BlockRoomFunction& room);

// Discards what the instrument still sends until `quiet_ms` pass without a byte, for at most
// `max_ms`, so the next query reads the instrument's own reply.
void DrainReplies(InstrumentChannel& ch, int quiet_ms, int max_ms);

}  // namespace qvx
