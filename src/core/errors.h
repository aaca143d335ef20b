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

}  // namespace qvx
