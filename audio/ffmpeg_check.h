// FFmpeg error codes as log text, for the sound side's messages: what failed, the code's name
// and its description, e.g. "avcodec_open2(codec, ...) failed -> -22 (Invalid argument)".
#pragma once

#include <string>

std::string ffmpegError(int code);
