// Channel 2 beside channel 1: its commands and limits, one :SINGle recording both channels
// from one realisation of the circuit, the ground loop, the telegraph signal and the drift.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "instrument.h"

namespace {

using namespace std::chrono_literals;

// Everything a reply sends, as bytes.
std::string Bytes(const qvx::sim::Reply& reply) {
  std::string bytes;
  for (const auto& piece : reply.pieces) {
    bytes += piece.bytes;
    if (piece.shared) bytes += piece.shared->substr(piece.shared_offset, piece.shared_length);
  }
  return bytes;
}

std::string Ask(qvx::sim::Instrument& instrument, std::string_view line) { return Bytes(instrument.Execute(line)); }

bool WaitForStop(qvx::sim::Instrument& instrument) {
  const auto until = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < until) {
    if (Ask(instrument, ":TRIG:STAT?") == "STOP\n") return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

std::uint64_t Fnv1a(const std::string& bytes, std::uint64_t hash = 14695981039346656037ull) {
  for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return hash;
}

// Channel 1 alone, at a fixed seed: two records (tones, DC, gain, front end), their preambles
// and an FFT trace after them, hashed as a client receives them. The value was taken before
// channel 2 existed; with channel 2 off nothing may change by a byte.
TEST(ChannelTwo, ChannelOneAloneIsByteForByteWhatItWas) {
  qvx::sim::NoiseModel noise;
  noise.gain = 10;
  noise.frontend_nv = 50;
  noise.dc_v = 1e-3;
  noise.seed = 42;
  qvx::sim::Instrument instrument(noise);
  std::uint64_t hash = Fnv1a("");
  for (const char* line : {":WAV:SOUR CHAN1", ":WAV:MODE RAW", ":ACQ:MDEP 100000", ":TIM:MAIN:SCAL 1e-3",
                           ":CHAN1:SCAL 2e-3", ":CHAN1:OFFS -1e-2", ":SINGle"}) {
    instrument.Execute(line);
  }
  ASSERT_TRUE(WaitForStop(instrument));
  const std::string first_record = Ask(instrument, ":WAV:DATA?");
  ASSERT_EQ(first_record.size(), 11u + 100000u + 1u);
  hash = Fnv1a(first_record, hash);
  hash = Fnv1a(Ask(instrument, ":WAV:PRE?"), hash);
  for (const char* line : {":ACQ:MDEP 1000000", ":TIM:MAIN:SCAL 1e-1", ":CHAN1:SCAL 1e-3", ":SINGle"}) {
    instrument.Execute(line);
  }
  ASSERT_TRUE(WaitForStop(instrument));
  for (int first = 1; first <= 1000000; first += 250000) {
    instrument.Execute(":WAV:STAR " + std::to_string(first));
    instrument.Execute(":WAV:STOP " + std::to_string(first + 249999));
    const std::string chunk = Ask(instrument, ":WAV:DATA?");
    ASSERT_EQ(chunk.size(), 11u + 250000u + 1u);
    hash = Fnv1a(chunk, hash);
  }
  hash = Fnv1a(Ask(instrument, ":WAV:PRE?"), hash);
  instrument.Execute(":WAV:MODE NORM");
  hash = Fnv1a(Ask(instrument, ":WAV:DATA?"), hash);
  EXPECT_EQ(hash, 17934508052707089797ull);
}

}  // namespace
