#pragma once
// Operations report by appending whole lines to the window's log.
#include <functional>
#include <string>

namespace qvx {
using LogSink = std::function<void(const std::string& line)>;
}  // namespace qvx
