// qvx71-sim: the simulated instrument as a program, for manual runs and demos.
#include <signal.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "instrument.h"
#include "scpi.h"
#include "simulator.h"

namespace {

using qvx::sim::Fault;

constexpr int kExitUsage = 1;
constexpr int kExitBind = 2;

void Print(std::FILE* stream, const std::string& text) { std::fwrite(text.data(), 1, text.size(), stream); }

std::string FaultList() {
  std::string names;
  for (Fault fault : qvx::sim::AllFaults()) {
    if (!names.empty()) names += ", ";
    names += qvx::sim::FaultName(fault);
  }
  return names;
}

void Usage(std::FILE* stream) {
  Print(stream,
        "Usage: qvx71-sim [options]\n"
        "Simulates a QVX71 oscilloscope answering SCPI on TCP port 5555: its FFT trace of\n"
        "MATH1 and the time records of channels 1 and 2 (:SINGle, :TRIGger:STATus?,\n"
        ":WAVeform:PREamble?, :WAVeform:DATA? of CHANnel1 or CHANnel2 in RAW mode, at most\n"
        "250000 points a read). :CHANnel2:DISPlay ON records channel 2 beside channel 1, at most\n"
        "5000000 points and 500 MSa/s each; a depth of 10000000 then becomes 5000000.\n"
        "  --listen ADDR        loopback address to listen on (default 127.0.0.1)\n"
        "  --port P             TCP port (default 5555)\n"
        "  --allow-any          permit a non-loopback listen address\n"
        "  --verbose            print received commands and reply summaries to stderr\n"
        "  --white NV           white noise density, nV/sqrt(Hz) (default 20)\n"
        "  --corner HZ          1/f corner frequency (default 200)\n"
        "  --tone HZ:VRMS       a sine of VRMS volts rms at HZ; repeatable; given tones replace\n"
        "                       the built-in ones (10 kHz 50 nV, 25 kHz 70 nV, 60 kHz 60 nV)\n"
        "  --no-tones           leave out the built-in tones\n"
        "  --gain G             a preamplifier of gain G in front of channel 1 (default 1)\n"
        "  --frontend NV        channel 1's own white input noise, nV/sqrt(Hz) (default 0)\n"
        "  --dc V               a DC level of the source, V (default 0)\n"
        "  --gain2 G            channel 2's preamplifier (default: the same as --gain)\n"
        "  --frontend2 NV       channel 2's own white input noise, nV/sqrt(Hz) (default: the same\n"
        "                       as --frontend)\n"
        "  --common NV          a white noise both channels share after their preamplifiers (a\n"
        "                       ground loop), nV/sqrt(Hz) (default 0)\n"
        "  --common-sign S      1 or -1: the sign of that noise on channel 2 (default 1)\n"
        "  --rts V:RATE         a random telegraph signal of the source between -V/2 and +V/2,\n"
        "                       leaving each level RATE times a second on average (exponential\n"
        "                       dwells of mean 1/RATE s); the FFT trace shows its Lorentzian\n"
        "  --drift V_PER_S      a linear drift of the source, 0 at each record's first sample\n"
        "                       (time records only: the FFT trace leaves it out)\n"
        "  --time-scale S       FFT frames arrive one per record time (10 x timebase) x S after\n"
        "                       the average restarts, and a single record fills in its record\n"
        "                       time x S; 0 (default): averages and records are there at once\n"
        "  --seed N             random seed (default 1)\n"
        "  --fault NAME         misbehave: " +
            FaultList() +
            "\n"
            "  --silent-query HDR   the query that silent-query leaves unanswered\n"
            "  --late-ms MS         delay of late-reply (default 1500)\n"
            "  --split-ms MS        pause of split-reply and header-split (default 50)\n"
            "  --block-bytes N      data bytes per trace block (default 1000)\n"
            "  --max-read N         most raw points one :WAVeform:DATA? may ask for (default 250000)\n"
            "  --bad-preamble-zero  bad-preamble sends a yincrement of 0 (default: a field that is\n"
            "                       not a number)\n"
            "  --preamble-points record|window\n"
            "                       the preamble's points field: the record's length (default) or\n"
            "                       the points STARt..STOP that :WAVeform:DATA? returns\n"
            "  --help               show this text\n");
}

template <typename T>
bool ParseWhole(std::string_view text, T& value) {
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && ptr == text.data() + text.size();
}

bool ParseReal(std::string_view text, double& value) {
  const auto number = qvx::sim::ParseNumber(text);
  if (!number || !std::isfinite(*number)) return false;
  value = *number;
  return true;
}

// "A:B", both plain decimal numbers.
bool ParsePair(std::string_view text, double& a, double& b) {
  const std::size_t colon = text.find(':');
  return colon != std::string_view::npos && ParseReal(text.substr(0, colon), a) && ParseReal(text.substr(colon + 1), b);
}

// "HZ:VRMS", the frequency above 0.
bool ParseTone(std::string_view text, qvx::sim::Tone& tone) {
  return ParsePair(text, tone.freq_hz, tone.vrms) && tone.freq_hz > 0 && tone.vrms >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  qvx::sim::SimOptions options;
  qvx::sim::FaultSettings faults;
  std::vector<qvx::sim::Tone> tones;
  bool no_tones = false;
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    auto value = [&](std::string_view& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string_view text;
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--allow-any") {
      options.allow_any = true;
    } else if (arg == "--listen") {
      ok = value(text);
      options.listen_address = std::string(text);
    } else if (arg == "--port") {
      ok = value(text) && ParseWhole(text, options.port) && options.port != 0;
    } else if (arg == "--white") {
      ok = value(text) && ParseReal(text, options.noise.white_nv) && options.noise.white_nv >= 0;
    } else if (arg == "--corner") {
      ok = value(text) && ParseReal(text, options.noise.corner_hz) && options.noise.corner_hz >= 0;
    } else if (arg == "--tone") {
      qvx::sim::Tone tone;
      ok = value(text) && ParseTone(text, tone);
      tones.push_back(tone);
    } else if (arg == "--no-tones") {
      no_tones = true;
    } else if (arg == "--gain") {
      ok = value(text) && ParseReal(text, options.noise.gain) && options.noise.gain > 0;
    } else if (arg == "--frontend") {
      ok = value(text) && ParseReal(text, options.noise.frontend_nv) && options.noise.frontend_nv >= 0;
    } else if (arg == "--dc") {
      ok = value(text) && ParseReal(text, options.noise.dc_v);
    } else if (arg == "--gain2") {
      double gain = 0.0;
      ok = value(text) && ParseReal(text, gain) && gain > 0;
      options.noise.gain2 = gain;
    } else if (arg == "--frontend2") {
      double frontend = 0.0;
      ok = value(text) && ParseReal(text, frontend) && frontend >= 0;
      options.noise.frontend2_nv = frontend;
    } else if (arg == "--common") {
      ok = value(text) && ParseReal(text, options.noise.common_nv) && options.noise.common_nv >= 0;
    } else if (arg == "--common-sign") {
      ok = value(text) && ParseReal(text, options.noise.common_sign) &&
           (options.noise.common_sign == 1.0 || options.noise.common_sign == -1.0);
    } else if (arg == "--rts") {
      ok = value(text) && ParsePair(text, options.noise.rts_v, options.noise.rts_rate_hz) && options.noise.rts_v >= 0 &&
           options.noise.rts_rate_hz > 0;
    } else if (arg == "--drift") {
      ok = value(text) && ParseReal(text, options.noise.drift_v_per_s);
    } else if (arg == "--preamble-points") {
      ok = value(text) && (text == "record" || text == "window");
      faults.preamble_points = text == "window" ? qvx::sim::PreamblePoints::Window : qvx::sim::PreamblePoints::Record;
    } else if (arg == "--max-read") {
      ok = value(text) && ParseWhole(text, faults.max_read_points) && faults.max_read_points > 0;
    } else if (arg == "--bad-preamble-zero") {
      faults.bad_preamble_zero = true;
    } else if (arg == "--time-scale") {
      ok = value(text) && ParseReal(text, options.noise.time_scale) && options.noise.time_scale >= 0;
    } else if (arg == "--seed") {
      ok = value(text) && ParseWhole(text, options.noise.seed);
    } else if (arg == "--fault") {
      const auto fault = value(text) ? qvx::sim::FaultFromName(text) : std::nullopt;
      ok = fault.has_value();
      if (ok) faults.fault = *fault;
    } else if (arg == "--silent-query") {
      ok = value(text);
      faults.silent_query = std::string(text);
    } else if (arg == "--late-ms") {
      ok = value(text) && ParseWhole(text, faults.late_ms) && faults.late_ms >= 0;
    } else if (arg == "--split-ms") {
      ok = value(text) && ParseWhole(text, faults.split_ms) && faults.split_ms >= 0;
    } else if (arg == "--block-bytes") {
      ok = value(text) && ParseWhole(text, faults.block_bytes);
    } else {
      Print(stderr, "qvx71-sim: unknown option " + std::string(arg) + "\n");
      Usage(stderr);
      return kExitUsage;
    }
    if (!ok) {
      Print(stderr, "qvx71-sim: missing or bad value for " + std::string(arg) + "\n");
      return kExitUsage;
    }
  }

  if (!tones.empty() || no_tones) options.noise.tones = tones;

  // Blocked before any thread starts, so only sigwait below sees these signals.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  qvx::sim::Simulator simulator(options);
  simulator.SetFaults(faults);
  if (!simulator.Start()) {
    Print(stderr, "qvx71-sim: " + simulator.LastError() + "\n");
    return kExitBind;
  }
  Print(stderr, "qvx71-sim: listening on " + simulator.Address() + ":" + qvx::sim::FormatInteger(simulator.Port()) +
                    " (fault " + std::string(qvx::sim::FaultName(faults.fault)) + ")\n");

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  simulator.Stop();
  Print(stderr, "qvx71-sim: stopped\n");
  return 0;
}
