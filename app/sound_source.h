// Where the sound beside the picture comes from, chosen at start-up as the camera is: the
// sound server's default source, the one --audio names, or none. One INFO line says which.
#pragma once

#include <memory>
#include <optional>

#include "options.h"
#include "sound_input.h"

struct SoundChoice {
    std::unique_ptr<SoundInput> input;  // null: the recording is the picture alone
    std::optional<int> exitStatus;      // 2 when --audio names a source that does not exist
};

class FileCamera;

// Opens the sound that a recording into `options.output`, or the stream, can keep: the sound
// track of the file that `file` shows, where it has one and --audio names no source; else the
// sound server's. Writes the "Sound:" line, or the refusal on standard error.
SoundChoice openSoundSource(const Options& options, FileCamera* file = nullptr);
