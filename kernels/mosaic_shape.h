// The mosaic's launch geometry, for both flavors' launch functions.
#pragma once

#include <cuda_runtime.h>

#include <optional>

namespace camfx {

struct LaunchShape {
    dim3 grid;
    dim3 block;
};

// The kernel sums a tile in its block's shared memory, so the block is the tile: tile x tile
// threads, and as many blocks as cover the frame, the last ones cut off by its edges.
// Nothing runs for a tile below 1, which would divide by a zero count or index before the
// frame, nor for an empty frame, which has no tile.
inline std::optional<LaunchShape> mosaicShape(int width, int height, int tile) {
    if (tile < 1 || width < 1 || height < 1)
        return std::nullopt;
    const unsigned t = static_cast<unsigned>(tile);
    const unsigned columns = (static_cast<unsigned>(width) + t - 1) / t;
    const unsigned rows = (static_cast<unsigned>(height) + t - 1) / t;
    return LaunchShape{dim3(columns, rows, 1), dim3(t, t, 1)};
}

}  // namespace camfx
