#pragma once
// Transcript and picture export of the simulated generator's state.
#include "sim/SimEngine.h"

#include <string>

namespace kivosim {

std::string transcriptJson(const Engine& e);
// slot-N.ppm and preview-N.ppm for each written slot N and its preview (index N + 36);
// fixed-preview-I.ppm for a preview below the slots'.
bool dumpPictures(const Engine& e, const std::string& dir);

} // namespace kivosim
