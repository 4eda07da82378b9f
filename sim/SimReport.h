#pragma once
// Transcript and picture export of the simulated generator's state.
#include "sim/SimEngine.h"

#include <string>

namespace kivosim {

std::string transcriptJson(const Engine& e);
// slot-N.ppm for each written slot, preview-I.ppm for each written preview.
bool dumpPictures(const Engine& e, const std::string& dir);

} // namespace kivosim
