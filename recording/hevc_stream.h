// The one video stream that every libavformat output of the recorder carries: HEVC 1280x720,
// 4:2:0, with times in 90 kHz ticks.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include "frame.h"

// A new stream of `context` described as the encoder's pictures; null when out of memory.
inline AVStream* addHevcStream(AVFormatContext* context) {
    AVStream* stream = avformat_new_stream(context, nullptr);
    if (stream == nullptr)
        return nullptr;
    stream->time_base = AVRational{1, 90000};
    AVCodecParameters* codec = stream->codecpar;
    codec->codec_type = AVMEDIA_TYPE_VIDEO;
    codec->codec_id = AV_CODEC_ID_HEVC;
    codec->width = FRAME_WIDTH;
    codec->height = FRAME_HEIGHT;
    codec->format = AV_PIX_FMT_YUV420P;
    return stream;
}
