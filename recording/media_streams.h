// The streams that the recorder's libavformat outputs carry: the picture, HEVC, H.264 or AV1
// 1280x720, 4:2:0, with times in 90 kHz ticks; and the sound beside it, AAC, with times in
// samples.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstring>

#include "frame.h"
#include "video_output.h"

inline AVCodecID codecIdOf(VideoCodec codec) {
    switch (codec) {
        case VideoCodec::H264:
            return AV_CODEC_ID_H264;
        case VideoCodec::Av1:
            return AV_CODEC_ID_AV1;
        case VideoCodec::Hevc:
            break;
    }
    return AV_CODEC_ID_HEVC;
}

// A new stream of `context` described as the encoder's pictures; null when out of memory.
inline AVStream* addVideoStream(AVFormatContext* context, VideoCodec videoCodec) {
    AVStream* stream = avformat_new_stream(context, nullptr);
    if (stream == nullptr)
        return nullptr;
    stream->time_base = AVRational{1, 90000};
    AVCodecParameters* codec = stream->codecpar;
    codec->codec_type = AVMEDIA_TYPE_VIDEO;
    codec->codec_id = codecIdOf(videoCodec);
    codec->width = FRAME_WIDTH;
    codec->height = FRAME_HEIGHT;
    codec->format = AV_PIX_FMT_YUV420P;
    return stream;
}

// A new stream of `context` described as the sound's encoder describes it; null when out of
// memory.
inline AVStream* addSoundStream(AVFormatContext* context, const SoundTrack& sound) {
    AVStream* stream = avformat_new_stream(context, nullptr);
    if (stream == nullptr)
        return nullptr;
    stream->time_base = AVRational{1, sound.sampleRate};
    AVCodecParameters* codec = stream->codecpar;
    codec->codec_type = AVMEDIA_TYPE_AUDIO;
    codec->codec_id = AV_CODEC_ID_AAC;
    codec->sample_rate = sound.sampleRate;
    av_channel_layout_default(&codec->ch_layout, sound.channels);
    codec->frame_size = sound.frameSize;
    codec->bit_rate = sound.bitRate;
    if (!sound.config.empty()) {
        codec->extradata =
            static_cast<uint8_t*>(av_mallocz(sound.config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (codec->extradata == nullptr)
            return nullptr;
        std::memcpy(codec->extradata, sound.config.data(), sound.config.size());
        codec->extradata_size = static_cast<int>(sound.config.size());
    }
    return stream;
}
