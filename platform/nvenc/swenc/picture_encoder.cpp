#include "picture_encoder.h"

#include "av1_encoder.h"
#include "h264_encoder.h"
#include "hevc_encoder.h"

namespace camfx::swenc {

std::unique_ptr<PictureEncoder> MakeEncoder(Codec codec) {
    switch (codec) {
        case Codec::H264:
            return std::make_unique<H264Encoder>();
        case Codec::Hevc:
            return std::make_unique<HevcEncoder>();
        case Codec::Av1:
            return std::make_unique<Av1Encoder>();
    }
    return nullptr;
}

std::string LibraryName(Codec codec) {
    switch (codec) {
        case Codec::H264:
            return "libx264 " + X264Version();
        case Codec::Hevc:
            return std::string("libx265 ") + X265Version();
        case Codec::Av1:
            return "SVT-AV1 " + SvtAv1Version();
    }
    return "";
}

}  // namespace camfx::swenc
