// The one frame size of the pipeline: packed blue-green-red pixels, rows without gaps.
#pragma once

#include <cstddef>

constexpr int FRAME_WIDTH = 1280;
constexpr int FRAME_HEIGHT = 720;
constexpr size_t FRAME_BYTES = static_cast<size_t>(FRAME_WIDTH) * FRAME_HEIGHT * 3;
