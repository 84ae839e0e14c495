// The software HEVC encoder (libx265) that stands behind the NVENC entry points where
// no hardware encoder exists. Its only surface beyond the NVENC API is where it tells
// the user which encoder records.
#pragma once

extern "C" {

// Receives one line of text, without a level label or newline, each time a session is
// initialised, naming the encoder that will produce the stream.
typedef void (*CamfxEncoderInfoSink)(const char* line);

// Replaces the sink; null restores the default, which writes the line and a newline to
// standard output. Set it before opening sessions: the sink is read without a lock.
void camfxSetEncoderInfoSink(CamfxEncoderInfoSink sink);

}  // extern "C"
