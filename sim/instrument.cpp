#include "instrument.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <utility>

#include "scpi.h"

namespace qvx::sim {
namespace {

struct ScpiError {
  int code;
  const char* text;
};

constexpr ScpiError kDataTypeError{-104, "Data type error"};
constexpr ScpiError kParameterNotAllowed{-108, "Parameter not allowed"};
constexpr ScpiError kMissingParameter{-109, "Missing parameter"};
constexpr ScpiError kUndefinedHeader{-113, "Undefined header"};
constexpr ScpiError kRecordIncomplete{-221, "Settings conflict;record not complete"};
constexpr ScpiError kDataOutOfRange{-222, "Data out of range"};
constexpr ScpiError kIllegalParameter{-224, "Illegal parameter value"};
constexpr ScpiError kChannelNotRecorded{-221, "Settings conflict;channel not recorded"};

constexpr std::size_t kMaxBlockBytes = 999999999;

using Outcome = std::optional<ScpiError>;
using Setter = std::function<Outcome(SimState&, std::string_view)>;
using Getter = std::function<std::string(const SimState&, const FaultSettings&)>;

// One instrument setting: its header, how a value changes it, how a query reports it.
struct Setting {
  HeaderPattern pattern;
  Setter set;                     // empty: query only
  Getter get;                     // empty: command only
  bool restarts_average = false;  // every accepted write, even of the same value, restarts the average
};

// Settings that change what a frame is restart the FFT average, as on the instrument.
Setting Restarting(Setting setting) {
  setting.restarts_average = true;
  return setting;
}

// Numbers come in plain decimal form; an empty value counts as out of range.
Outcome ParseChecked(std::string_view text, double lo, double hi, double& value, bool quantity = false) {
  if (text.empty()) return kDataOutOfRange;
  const auto number = quantity ? ParseQuantity(text) : ParseNumber(text);
  if (!number) return kDataTypeError;
  if (!(*number >= lo && *number <= hi)) return kDataOutOfRange;
  value = *number;
  return std::nullopt;
}

Setting NumberSetting(std::string_view pattern, double SimState::*field, double lo, double hi) {
  return {HeaderPattern(pattern),
          [=](SimState& s, std::string_view arg) -> Outcome {
            double value = 0.0;
            if (auto error = ParseChecked(arg, lo, hi, value)) return error;
            s.*field = value;
            return std::nullopt;
          },
          [=](const SimState& s, const FaultSettings&) { return FormatExponent(s.*field); }};
}

// Enumerated values are matched like mnemonics and stored in their short form.
Setting ChoiceSetting(std::string_view pattern, std::string SimState::*field,
                      std::initializer_list<std::string_view> choices) {
  std::vector<std::string_view> options(choices);
  return {HeaderPattern(pattern),
          [=](SimState& s, std::string_view arg) -> Outcome {
            if (arg.empty()) return kMissingParameter;
            for (std::string_view option : options) {
              if (MatchMnemonic(option, arg)) {
                s.*field = ToUpper(ShortForm(option));
                return std::nullopt;
              }
            }
            return kIllegalParameter;
          },
          [=](const SimState& s, const FaultSettings&) { return s.*field; }};
}

Outcome ParseSwitch(std::string_view arg, bool& on) {
  if (arg.empty()) return kMissingParameter;
  const std::string value = ToUpper(arg);
  if (value == "ON" || value == "1") {
    on = true;
  } else if (value == "OFF" || value == "0") {
    on = false;
  } else {
    return kIllegalParameter;
  }
  return std::nullopt;
}

Setting SwitchSetting(std::string_view pattern, bool SimState::*field) {
  return {HeaderPattern(pattern),
          [=](SimState& s, std::string_view arg) -> Outcome {
            bool on = false;
            if (auto error = ParseSwitch(arg, on)) return error;
            s.*field = on;
            return std::nullopt;
          },
          [=](const SimState& s, const FaultSettings&) { return std::string(s.*field ? "1" : "0"); }};
}

// Outside its range a channel's scale is clamped, as the knob stops; the query tells.
Setting ChannelScaleSetting(std::string_view pattern, double SimState::*field) {
  return {HeaderPattern(pattern),
          [=](SimState& s, std::string_view arg) -> Outcome {
            double value = 0.0;
            if (auto error = ParseChecked(arg, -1e300, 1e300, value)) return error;
            s.*field = std::clamp(value, kMinChannelScale, kMaxChannelScale);
            return std::nullopt;
          },
          [=](const SimState& s, const FaultSettings&) { return FormatExponent(s.*field); }};
}

// The deepest memory is shared: 10 M points for channel 1 alone, 5 M each with channel 2.
double DeepestMemory(const SimState& s) {
  return static_cast<double>(s.ch2_display ? kMaxTwoChannelPoints : kMaxRecordPoints);
}

// Whole numbers lo ... hi, as record points.
Setting PointSetting(std::string_view pattern, double SimState::*field, double lo, double hi) {
  return {HeaderPattern(pattern),
          [=](SimState& s, std::string_view arg) -> Outcome {
            double value = 0.0;
            if (auto error = ParseChecked(arg, lo, hi, value)) return error;
            if (value != std::floor(value)) return kDataOutOfRange;
            s.*field = value;
            return std::nullopt;
          },
          [=](const SimState& s, const FaultSettings&) { return FormatInteger(static_cast<long long>(s.*field)); }};
}

std::string AbbreviatedDepth(double points) {
  const auto whole = static_cast<long long>(points);
  if (whole >= 1000000 && whole % 1000000 == 0) return FormatInteger(whole / 1000000) + "M";
  if (whole >= 1000 && whole % 1000 == 0) return FormatInteger(whole / 1000) + "k";
  return FormatInteger(whole);
}

const std::vector<Setting>& Settings() {
  static const std::vector<Setting> settings = {
      ChoiceSetting(":WAVeform:SOURce", &SimState::wav_source,
                    {"CHANnel1", "CHANnel2", "CHANnel3", "CHANnel4", "MATH1"}),
      ChoiceSetting(":WAVeform:MODE", &SimState::wav_mode, {"NORMal", "MAXimum", "RAW"}),
      ChoiceSetting(":WAVeform:FORMat", &SimState::wav_format, {"BYTE", "WORD", "ASCii"}),
      SwitchSetting(":MATH1:DISPlay", &SimState::math_display),
      ChoiceSetting(":MATH1:OPERator", &SimState::math_operator, {"ADD", "SUBTract", "MULTiply", "DIVision", "FFT"}),
      ChoiceSetting(":MATH1:FFT:SOURce", &SimState::fft_source, {"CHANnel1", "CHANnel2", "CHANnel3", "CHANnel4"}),
      Restarting(ChoiceSetting(":MATH1:FFT:WINDow", &SimState::window,
                               {"RECTangle", "HANNing", "HAMMing", "BLACkman", "FLATtop"})),
      Restarting({HeaderPattern(":MATH1:FFT:AVCNt"),
                  [](SimState& s, std::string_view arg) -> Outcome {
                    double value = 0.0;
                    if (auto error = ParseChecked(arg, 1.0, 64.0, value)) return error;
                    if (value != std::floor(value)) return kDataOutOfRange;
                    s.avcnt = static_cast<int>(value);
                    return std::nullopt;
                  },
                  [](const SimState& s, const FaultSettings&) { return FormatInteger(s.avcnt); }}),
      NumberSetting(":MATH1:FFT:FREQuency:STARt", &SimState::start_hz, 0.0, 1e9),
      [] {
        // The span ends at Fs/2 at most; the value set is kept for a later faster timebase.
        Setting end = NumberSetting(":MATH1:FFT:FREQuency:END", &SimState::end_hz, 0.0, 1e9);
        end.get = [](const SimState& s, const FaultSettings&) { return FormatExponent(DisplayedEnd(s)); };
        return end;
      }(),
      ChoiceSetting(":MATH1:FFT:UNIT", &SimState::unit, {"VRMS", "DB"}),
      NumberSetting(":MATH1:FFT:SCALe", &SimState::fft_scale, 1e-12, 1e6),
      NumberSetting(":MATH1:FFT:OFFSet", &SimState::fft_offset, -1e6, 1e6),
      Restarting(ChannelScaleSetting(":CHANnel1:SCALe", &SimState::ch1_scale)),
      NumberSetting(":CHANnel1:OFFSet", &SimState::ch1_offset, -1e3, 1e3),
      // Channel 2 is not the FFT's source: its scale leaves the average alone. Turning it on
      // or off moves the deepest memory setting to the other's (10 M <-> 5 M), and the sample
      // rate with it, so the average restarts.
      ChannelScaleSetting(":CHANnel2:SCALe", &SimState::ch2_scale),
      NumberSetting(":CHANnel2:OFFSet", &SimState::ch2_offset, -1e3, 1e3),
      Restarting({HeaderPattern(":CHANnel2:DISPlay"),
                  [](SimState& s, std::string_view arg) -> Outcome {
                    bool on = false;
                    if (auto error = ParseSwitch(arg, on)) return error;
                    const bool deepest = s.mdepth_points == DeepestMemory(s);
                    s.ch2_display = on;
                    if (deepest) s.mdepth_points = DeepestMemory(s);
                    return std::nullopt;
                  },
                  [](const SimState& s, const FaultSettings&) { return std::string(s.ch2_display ? "1" : "0"); }}),
      PointSetting(":WAVeform:STARt", &SimState::wav_start, 1.0, static_cast<double>(kMaxRecordPoints)),
      PointSetting(":WAVeform:STOP", &SimState::wav_stop, 1.0, static_cast<double>(kMaxRecordPoints)),
      NumberSetting(":CHANnel1:PROBe", &SimState::probe, 1e-3, 1e3),
      ChoiceSetting(":CHANnel1:IMPedance", &SimState::impedance, {"OMEG", "FIFTy"}),
      Restarting(NumberSetting(":TIMebase:MAIN:SCALe", &SimState::tdiv, 1e-9, 1e3)),
      Restarting({HeaderPattern(":ACQuire:MDEPth"),
                  [](SimState& s, std::string_view arg) -> Outcome {
                    double value = 0.0;
                    if (auto error = ParseChecked(arg, 1.0, 5e8, value, true)) return error;
                    if (value != std::floor(value)) return kDataOutOfRange;
                    if (value != 1e3 && value != 1e4 && value != 1e5 && value != 1e6 && value != DeepestMemory(s))
                      return kIllegalParameter;
                    s.mdepth_points = value;
                    return std::nullopt;
                  },
                  [](const SimState& s, const FaultSettings& f) {
                    if (f.fault == Fault::MdepthAbbrev) return AbbreviatedDepth(s.mdepth_points);
                    return FormatInteger(static_cast<long long>(s.mdepth_points));
                  }}),
      {HeaderPattern(":ACQuire:SRATe"),
       {},
       [](const SimState& s, const FaultSettings&) { return FormatExponent(SampleRate(s)); }},
  };
  return settings;
}

// Headers handled by the instrument itself rather than by a setting.
enum class Special { Idn, Opc, Cls, Rst, Error, Data, Run, Stop, Single, TriggerStatus, Preamble };

struct SpecialHeader {
  Special what;
  HeaderPattern pattern;
};

const std::vector<SpecialHeader>& SpecialHeaders() {
  static const std::vector<SpecialHeader> specials = {
      {Special::Idn, HeaderPattern("*IDN")},
      {Special::Opc, HeaderPattern("*OPC")},
      {Special::Cls, HeaderPattern("*CLS")},
      {Special::Rst, HeaderPattern("*RST")},
      {Special::Error, HeaderPattern(":SYSTem:ERRor")},
      {Special::Error, HeaderPattern(":SYSTem:ERRor:NEXT")},
      {Special::Data, HeaderPattern(":WAVeform:DATA")},
      {Special::Run, HeaderPattern(":RUN")},
      {Special::Stop, HeaderPattern(":STOP")},
      {Special::Single, HeaderPattern(":SINGle")},
      {Special::TriggerStatus, HeaderPattern(":TRIGger:STATus")},
      {Special::Preamble, HeaderPattern(":WAVeform:PREamble")},
  };
  return specials;
}

const SpecialHeader* FindSpecial(const ParsedLine& line) {
  for (const SpecialHeader& special : SpecialHeaders()) {
    if (special.pattern.Matches(line)) return &special;
  }
  return nullptr;
}

const Setting* FindSetting(const ParsedLine& line) {
  for (const Setting& setting : Settings()) {
    if (setting.pattern.Matches(line)) return &setting;
  }
  return nullptr;
}

// The same command under any spelling gives the same key.
std::string CanonicalHeader(const ParsedLine& line) {
  if (const SpecialHeader* special = FindSpecial(line)) return special->pattern.Text();
  if (const Setting* setting = FindSetting(line)) return setting->pattern.Text();
  return ToUpper(line.header);
}

std::string BlockHeader(std::size_t bytes) {
  std::string digits = FormatInteger(static_cast<long long>(std::min(bytes, kMaxBlockBytes)));
  return "#9" + std::string(9 - digits.size(), '0') + digits;
}

std::string Identification(const FaultSettings& faults) {
  std::string idn = kIdentification;
  if (faults.fault == Fault::LongReply) {
    idn.push_back(',');
    while (idn.size() < faults.long_reply_chars) idn.push_back(static_cast<char>('A' + idn.size() % 26));
    idn.resize(faults.long_reply_chars);
  } else if (faults.fault == Fault::NulReply) {
    const std::size_t comma = idn.find(',', idn.find(',') + 1);
    idn.insert(comma, 1, '\0');
  }
  return idn;
}

struct FaultNameEntry {
  Fault fault;
  std::string_view name;
};
constexpr std::array<FaultNameEntry, 19> kFaultNames = {{
    {Fault::None, "none"},
    {Fault::Silent, "silent"},
    {Fault::SilentQuery, "silent-query"},
    {Fault::LateReply, "late-reply"},
    {Fault::SplitReply, "split-reply"},
    {Fault::LongReply, "long-reply"},
    {Fault::NulReply, "nul-reply"},
    {Fault::ZeroBlock, "zero-block"},
    {Fault::HeaderSplit, "header-split"},
    {Fault::TruncatedBlock, "truncated-block"},
    {Fault::StalledBlock, "stalled-block"},
    {Fault::HugeAnnounce, "huge-announce"},
    {Fault::MdepthAbbrev, "mdepth-abbrev"},
    {Fault::CloseOnQuery, "close-on-query"},
    {Fault::RefuseConnections, "refuse-connections"},
    {Fault::RecordNeverCompletes, "record-never-completes"},
    {Fault::ShortChunk, "short-chunk"},
    {Fault::StalledChunk, "stalled-chunk"},
    {Fault::BadPreamble, "bad-preamble"},
}};

ReplyPiece Piece(std::chrono::milliseconds delay, std::string bytes) {
  ReplyPiece piece;
  piece.delay = delay;
  piece.bytes = std::move(bytes);
  return piece;
}

// Splits a reply's bytes at `at` into two pieces, `delay` apart (a slice of a record splits
// into two slices).
void SplitReplyAt(Reply& reply, std::size_t at, std::chrono::milliseconds delay) {
  for (std::size_t i = 0; i < reply.pieces.size(); ++i) {
    ReplyPiece& piece = reply.pieces[i];
    if (at >= piece.Size()) {
      at -= piece.Size();
      continue;
    }
    if (at == 0) {
      piece.delay += delay;
      return;
    }
    ReplyPiece rest;
    rest.delay = delay;
    if (at < piece.bytes.size()) {
      rest.bytes = piece.bytes.substr(at);
      piece.bytes.resize(at);
      std::swap(rest.shared, piece.shared);
      std::swap(rest.shared_offset, piece.shared_offset);
      std::swap(rest.shared_length, piece.shared_length);
    } else {
      const std::size_t keep = at - piece.bytes.size();
      rest.shared = piece.shared;
      rest.shared_offset = piece.shared_offset + keep;
      rest.shared_length = piece.shared_length - keep;
      piece.shared_length = keep;
    }
    reply.pieces.insert(reply.pieces.begin() + static_cast<std::ptrdiff_t>(i) + 1, std::move(rest));
    return;
  }
}

std::size_t ReplySize(const Reply& reply) {
  std::size_t size = 0;
  for (const ReplyPiece& piece : reply.pieces) size += piece.Size();
  return size;
}

}  // namespace

std::string_view FaultName(Fault fault) {
  for (const auto& entry : kFaultNames) {
    if (entry.fault == fault) return entry.name;
  }
  return "unknown";
}

std::optional<Fault> FaultFromName(std::string_view name) {
  for (const auto& entry : kFaultNames) {
    if (entry.name == name) return entry.fault;
  }
  return std::nullopt;
}

std::vector<Fault> AllFaults() {
  std::vector<Fault> faults;
  for (const auto& entry : kFaultNames) faults.push_back(entry.fault);
  return faults;
}

Instrument::Instrument(NoiseModel noise) : noise_(std::move(noise)), rng_(noise_.seed), average_start_(Clock::now()) {}

Instrument::~Instrument() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    job_.reset();
  }
  job_ready_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void Instrument::RecordWorker() {
  std::unique_lock lock(mutex_);
  while (true) {
    job_ready_.wait(lock, [&] { return stopping_ || job_.has_value(); });
    if (stopping_) return;
    const RecordJob job = std::move(*job_);
    job_.reset();
    lock.unlock();
    Records codes;
    if (job.second) {
      RecordPair pair = GenerateRecordPair(job.model, job.layout, *job.second, job.seed);
      codes.channel1 = std::make_shared<const std::string>(std::move(pair.channel1));
      codes.channel2 = std::make_shared<const std::string>(std::move(pair.channel2));
    } else {
      codes.channel1 = std::make_shared<const std::string>(GenerateRecord(job.model, job.layout, job.seed));
    }
    lock.lock();
    if (job.id == acquisition_id_) {
      generated_ = std::move(codes);
      generated_id_ = job.id;
    }
  }
}

void Instrument::StartSingle() {
  ++acquisition_id_;
  acquisition_ = Acquisition::Single;
  single_start_ = Clock::now();
  fill_s_ = RecordTime(state_) * std::max(noise_.time_scale, 0.0);
  // A state set directly may ask for more than the memory holds with channel 2 on.
  const auto points = static_cast<std::size_t>(std::min(state_.mdepth_points, DeepestMemory(state_)));
  record_layout_ = {SampleRate(state_), points, state_.ch1_scale, state_.ch1_offset};
  record_layout2_ = {SampleRate(state_), points, state_.ch2_scale, state_.ch2_offset};
  record_ = {};
  generated_ = {};
  std::optional<SecondChannel> second;
  if (state_.ch2_display) second = SecondChannel{state_.ch2_scale, state_.ch2_offset};
  job_ = RecordJob{acquisition_id_, noise_, record_layout_, second, rng_()};
  if (!worker_.joinable()) worker_ = std::thread([this] { RecordWorker(); });
  job_ready_.notify_all();
}

// A halted single record is incomplete; live acquisition keeps no record either.
void Instrument::Halt() {
  UpdateAcquisition(Clock::now());
  if (acquisition_ == Acquisition::Stopped) return;
  ++acquisition_id_;
  acquisition_ = Acquisition::Stopped;
  record_ = {};
  generated_ = {};
  job_.reset();
}

void Instrument::Resume() {
  ++acquisition_id_;
  acquisition_ = Acquisition::Run;
  record_ = {};
  generated_ = {};
  job_.reset();
}

void Instrument::UpdateAcquisition(Clock::time_point now) {
  if (acquisition_ != Acquisition::Single || faults_.fault == Fault::RecordNeverCompletes) return;
  if (std::chrono::duration<double>(now - single_start_).count() < fill_s_) return;
  if (!generated_.channel1 || generated_id_ != acquisition_id_) return;
  acquisition_ = Acquisition::Stopped;
  record_ = std::move(generated_);
  generated_ = {};
}

std::string Instrument::TriggerStatus() {
  UpdateAcquisition(Clock::now());
  switch (acquisition_) {
    case Acquisition::Run:
      return "RUN";
    case Acquisition::Single:
      return "WAIT";
    case Acquisition::Stopped:
      break;
  }
  return "STOP";
}

// format (0 byte), type (2 raw), points, count, xincrement, xorigin, xreference, yincrement,
// yorigin, yreference: volts = (code - yorigin - yreference) x yincrement.
RecordLayout Instrument::SourceLayout() const {
  const bool second = state_.wav_source == "CHAN2";
  if (acquisition_ != Acquisition::Run) return second ? record_layout2_ : record_layout_;
  return {SampleRate(state_), static_cast<std::size_t>(state_.mdepth_points),
          second ? state_.ch2_scale : state_.ch1_scale, second ? state_.ch2_offset : state_.ch1_offset};
}

std::string Instrument::Preamble() const {
  const RecordLayout layout = SourceLayout();
  auto points = static_cast<double>(layout.points);
  if (faults_.preamble_points == PreamblePoints::Window) {
    points = std::max(0.0, std::min(state_.wav_stop, points) - state_.wav_start + 1.0);
  }
  const double yinc = YIncrement(layout.scale_v);
  std::string xinc = FormatExponent(1.0 / layout.fs_hz);
  std::string yinc_text = FormatExponent(yinc);
  if (faults_.fault == Fault::BadPreamble) {
    if (faults_.bad_preamble_zero) {
      yinc_text = FormatExponent(0.0);
    } else {
      xinc = "****";
    }
  }
  return "0,2," + FormatInteger(static_cast<long long>(points)) + ",1," + xinc + "," + FormatExponent(0.0) + ",0," +
         yinc_text + "," + FormatExponent(layout.offset_v / yinc) + "," +
         FormatInteger(static_cast<long long>(kYReference));
}

Reply Instrument::RecordDataReply() {
  UpdateAcquisition(Clock::now());
  Reply reply;
  auto refuse = [&](const ScpiError& error) {
    PushError(error.code, error.text);
    reply.pieces.push_back(Piece(std::chrono::milliseconds(0), BlockHeader(0) + "\n"));
    reply.summary = "empty block (" + FormatInteger(error.code) + ")";
    return reply;
  };
  if (acquisition_ != Acquisition::Stopped || !record_.channel1) return refuse(kRecordIncomplete);
  const std::shared_ptr<const std::string>& record = state_.wav_source == "CHAN2" ? record_.channel2 : record_.channel1;
  if (!record) return refuse(kChannelNotRecorded);
  const auto points = static_cast<double>(record->size());
  const double start = state_.wav_start;
  const double stop = std::min(state_.wav_stop, points);
  if (start > stop) return refuse(kDataOutOfRange);
  const auto count = static_cast<std::size_t>(stop - start) + 1;
  if (count > std::min(faults_.max_read_points, kMaxReadPoints)) return refuse(kDataOutOfRange);

  const bool cut = faults_.fault == Fault::ShortChunk || faults_.fault == Fault::StalledChunk;
  ReplyPiece data;
  data.shared = record;
  data.shared_offset = static_cast<std::size_t>(start) - 1;
  data.shared_length = cut ? count / 2 : count;
  reply.pieces.push_back(Piece(std::chrono::milliseconds(0), BlockHeader(count)));
  reply.pieces.push_back(std::move(data));
  if (cut) {
    reply.after = faults_.fault == Fault::ShortChunk ? AfterReply::Close : AfterReply::Stall;
  } else {
    reply.pieces.push_back(Piece(std::chrono::milliseconds(0), "\n"));
  }
  reply.summary = "raw block of " + FormatInteger(static_cast<long long>(count)) + " points";
  if (faults_.fault == Fault::HeaderSplit) SplitReplyAt(reply, 1, std::chrono::milliseconds(faults_.split_ms));
  return reply;
}

SimState Instrument::State() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void Instrument::SetState(const SimState& state) {
  std::lock_guard lock(mutex_);
  state_ = state;
  average_start_ = Clock::now();
}

FaultSettings Instrument::Faults() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

void Instrument::SetFaults(const FaultSettings& faults) {
  std::lock_guard lock(mutex_);
  faults_ = faults;
}

NoiseModel Instrument::Noise() const {
  std::lock_guard lock(mutex_);
  return noise_;
}

void Instrument::SetNoise(const NoiseModel& noise) {
  std::lock_guard lock(mutex_);
  noise_ = noise;
  rng_.seed(noise_.seed);
  average_start_ = Clock::now();
}

std::vector<std::string> Instrument::Errors() const {
  std::lock_guard lock(mutex_);
  return {errors_.begin(), errors_.end()};
}

void Instrument::PushError(int code, const char* text) {
  std::string entry = FormatInteger(code) + ",\"" + text + "\"";
  if (errors_.size() + 1 < kErrorQueueSize) {
    errors_.push_back(std::move(entry));
  } else if (errors_.size() + 1 == kErrorQueueSize) {
    // The last place tells that errors were lost.
    errors_.push_back("-350,\"Queue overflow\"");
  }
}

std::string Instrument::PopError() {
  if (errors_.empty()) return "0,\"No error\"";
  std::string entry = std::move(errors_.front());
  errors_.pop_front();
  return entry;
}

Reply Instrument::Execute(std::string_view line) {
  std::lock_guard lock(mutex_);
  const ParsedLine parsed = ParseLine(line);
  if (parsed.header.empty()) return {};
  if (parsed.query) return Query(parsed);
  Command(parsed);
  return {};
}

void Instrument::Command(const ParsedLine& line) {
  const SpecialHeader* special = FindSpecial(line);
  if (special != nullptr && special->what == Special::Cls) {
    errors_.clear();
    return;
  }
  if (special != nullptr && special->what == Special::Rst) {
    state_ = SimState{};
    average_start_ = Clock::now();
    Resume();
    return;
  }
  if (special != nullptr && !line.argument.empty() &&
      (special->what == Special::Run || special->what == Special::Stop || special->what == Special::Single)) {
    PushError(kParameterNotAllowed.code, kParameterNotAllowed.text);
    return;
  }
  if (special != nullptr && special->what == Special::Run) return Resume();
  if (special != nullptr && special->what == Special::Stop) return Halt();
  if (special != nullptr && special->what == Special::Single) return StartSingle();
  const Setting* setting = special == nullptr ? FindSetting(line) : nullptr;
  if (setting == nullptr || !setting->set) {
    PushError(kUndefinedHeader.code, kUndefinedHeader.text);
    return;
  }
  // A refused value leaves the setting as it was.
  SimState changed = state_;
  if (const Outcome error = setting->set(changed, line.argument)) {
    PushError(error->code, error->text);
    return;
  }
  state_ = changed;
  if (setting->restarts_average) average_start_ = Clock::now();
}

Reply Instrument::TextReply(std::string text) const {
  Reply reply;
  reply.summary = text;
  reply.pieces.push_back(
      Piece(std::chrono::milliseconds(0), faults_.reply_prefix + std::move(text) + faults_.reply_terminator));
  return reply;
}

std::string Instrument::DataBlockBody(std::size_t points, int frames) {
  return GenerateTrace(noise_, state_, points, rng_, frames);
}

int Instrument::FramesSoFar(Clock::time_point now, std::chrono::milliseconds& wait) const {
  const int averages = std::clamp(state_.avcnt, 1, kMaxAverages);
  wait = std::chrono::milliseconds(0);
  if (!(noise_.time_scale > 0.0)) return averages;
  const double frame_s = RecordTime(state_) * noise_.time_scale;
  const double elapsed_s = std::chrono::duration<double>(now - average_start_).count();
  const double frames = std::floor(elapsed_s / frame_s);
  if (frames >= 1.0) return static_cast<int>(std::min<double>(frames, averages));
  // No frame yet: the answer leaves when the first one is there (within a day at most).
  const double left_ms = std::ceil((frame_s - std::max(elapsed_s, 0.0)) * 1000.0);
  wait = std::chrono::milliseconds(static_cast<long long>(std::clamp(left_ms, 0.0, 86400e3)));
  return 1;
}

Reply Instrument::DataReply() {
  std::chrono::milliseconds wait{0};
  const int frames = FramesSoFar(Clock::now(), wait);
  const std::size_t n = std::min(faults_.block_bytes, kMaxBlockBytes);
  Reply reply;
  std::string bytes;
  switch (faults_.fault) {
    case Fault::ZeroBlock:
      bytes = BlockHeader(0) + "\n";
      break;
    case Fault::HugeAnnounce:
      bytes = BlockHeader(kMaxBlockBytes) + DataBlockBody(faults_.huge_sent_bytes, frames);
      reply.after = faults_.huge_then_close ? AfterReply::Close : AfterReply::Stall;
      break;
    case Fault::TruncatedBlock:
    case Fault::StalledBlock:
      bytes = BlockHeader(n) + DataBlockBody(std::min(faults_.partial_bytes, n), frames);
      reply.after = faults_.fault == Fault::TruncatedBlock ? AfterReply::Close : AfterReply::Stall;
      break;
    default:
      bytes = BlockHeader(n) + DataBlockBody(n, frames) + "\n";
      break;
  }
  reply.summary = "block of " + FormatInteger(static_cast<long long>(bytes.size())) + " bytes, " +
                  FormatInteger(frames) + " frames";
  if (faults_.fault == Fault::HeaderSplit) {
    reply.pieces.push_back(Piece(wait, bytes.substr(0, 1)));
    reply.pieces.push_back(Piece(std::chrono::milliseconds(faults_.split_ms), bytes.substr(1)));
  } else {
    reply.pieces.push_back(Piece(wait, std::move(bytes)));
  }
  return reply;
}

Reply Instrument::Query(const ParsedLine& line) {
  if (faults_.fault == Fault::CloseOnQuery) {
    Reply reply;
    reply.after = AfterReply::Close;
    reply.summary = "connection closed";
    return reply;
  }
  Reply reply;
  if (!line.argument.empty()) {
    PushError(kParameterNotAllowed.code, kParameterNotAllowed.text);
    return reply;
  }
  const SpecialHeader* special = FindSpecial(line);
  const Setting* setting = special == nullptr ? FindSetting(line) : nullptr;
  if (special != nullptr && special->what == Special::Idn) {
    reply = TextReply(Identification(faults_));
  } else if (special != nullptr && special->what == Special::Opc) {
    reply = TextReply("1");
  } else if (special != nullptr && special->what == Special::Error) {
    reply = TextReply(PopError());
  } else if (special != nullptr && special->what == Special::Data) {
    const bool raw = (state_.wav_source == "CHAN1" || state_.wav_source == "CHAN2") && state_.wav_mode == "RAW";
    reply = raw ? RecordDataReply() : DataReply();
  } else if (special != nullptr && special->what == Special::TriggerStatus) {
    reply = TextReply(TriggerStatus());
  } else if (special != nullptr && special->what == Special::Preamble) {
    reply = TextReply(Preamble());
  } else if (setting != nullptr && setting->get) {
    reply = TextReply(setting->get(state_, faults_));
  } else {  // unknown, command only, or "*CLS?" / "*RST?"
    PushError(kUndefinedHeader.code, kUndefinedHeader.text);
    return reply;
  }

  const bool silenced = faults_.fault == Fault::Silent || (faults_.fault == Fault::SilentQuery && [&] {
                          const ParsedLine target = ParseLine(faults_.silent_query);
                          return target.query && CanonicalHeader(target) == CanonicalHeader(line);
                        }());
  if (silenced) {
    reply.pieces.clear();
    reply.summary = "(no reply)";
    return reply;
  }
  if (faults_.fault == Fault::LateReply && !reply.pieces.empty()) {
    reply.pieces.front().delay += std::chrono::milliseconds(faults_.late_ms);
  }
  if (faults_.fault == Fault::SplitReply && ReplySize(reply) > 1) {
    SplitReplyAt(reply, ReplySize(reply) / 2, std::chrono::milliseconds(faults_.split_ms));
  }
  return reply;
}

}  // namespace qvx::sim
