#pragma once
// The command channel as the programs beyond the window use it: a query's reply is read up
// to its line feed within the query's bound, so a reply that TCP splits is still one reply,
// and what went wrong with the last query can be said in plain English.
#include <string>
#include <string_view>

#include "link/instrument_channel.h"

namespace qvx {

class WholeLineChannel final : public InstrumentChannel {
 public:
  explicit WholeLineChannel(InstrumentChannel& inner) : inner_(inner) {}

  void SendCommand(std::string_view command) override;
  int ReceiveWithTimeout(char* buffer, unsigned maxBytes, int timeoutMs) override;
  // The reply up to its LF (at most 1023 bytes kept), trimmed as the window trims it, or
  // "TIMEOUT" when nothing came within 1000 ms or the instrument closed the connection.
  std::string QueryInstrument(std::string_view command) override;
  bool Open(const std::string& address) override { return inner_.Open(address); }

  bool PeerClosed() const { return peer_closed_; }
  const std::string& LastQuery() const { return last_query_; }
  const std::string& LastReply() const { return last_reply_; }
  // What became of the last query, for a message: "no answer to X within 1 s", "the
  // instrument closed the connection (at X)", or "the reply to X was 'Y'".
  std::string LastQueryOutcome() const;

 private:
  InstrumentChannel& inner_;
  bool peer_closed_ = false;
  bool answered_ = false;
  std::string last_query_;
  std::string last_reply_;
};

}  // namespace qvx
