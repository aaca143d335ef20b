#pragma once
// Errors that end a handler and reach the application's error box.
#include <stdexcept>
#include <string>

namespace qvx {

// The one exception class the application object knows how to show.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

// A text that had to be a number and was not.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// The settings file could not be written.
class EIniFileException : public Exception {
 public:
  using Exception::Exception;
};

// The chart refused an axis limit.
class EChartException : public Exception {
 public:
  using Exception::Exception;
};

// What made a measurement or an analysis stop; the programs map the kind to their exit codes.
enum class ErrorKind {
  kUsage,        // an option, a file name or a field that cannot be used as given
  kInstrument,   // not reachable, not answering, or answering what cannot be used
  kData,         // a file or a record that cannot be analysed
  kInterrupted,  // cancelled by the user
  kStore,        // the results store could not keep the run
};

class RunError : public std::runtime_error {
 public:
  RunError(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const { return kind_; }

 private:
  ErrorKind kind_;
};

}  // namespace qvx
