#pragma once
// The clipboard export of the spectrum buffer.
#include <string>

#include "core/working_state.h"

namespace qvx {

// Exactly SPEC_POINTS lines, each ended by CR LF: the level, or the frequency in
// kHz, a comma and the level, both as "0.000". Levels go through the filter of
// the list index after all four filters are reset; for an index outside 0..4 every
// level text is empty.
std::string BuildClipboardText(const SpectrumBuffer& data, int filterIndex, bool freqList);

}  // namespace qvx
