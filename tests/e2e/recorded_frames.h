// What a recording should hold, from the frame log of the viewer that made it: the frames the
// ring took, and how close a decoded picture is to what the encoder was given.
#pragma once

#include <cstdint>
#include <string>

#include "hevc_check.h"

// Decodes `path` and expects `encoded` pictures, each at 30 dB or more against the frame the
// ring took for it (those still in the ring at the close are left out), processed by `mask`.
void expectPicturesShown(const std::string& path, int encoded, const std::string& frameLog,
                         int finalWritten, uint8_t mask);
