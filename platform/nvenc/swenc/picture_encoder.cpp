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

bool ApplyParams(const std::string& list, const char* library,
                 const std::function<bool(const std::string& name, const std::string& value)>& set,
                 std::string* reason) {
    size_t begin = 0;
    while (begin < list.size()) {
        size_t end = list.find(':', begin);
        if (end == std::string::npos) {
            end = list.size();
        }
        const std::string item = list.substr(begin, end - begin);
        const size_t equals = item.find('=');
        if (equals == std::string::npos) {
            if (reason) {
                *reason = std::string(library) + " parameter without a value: " + item;
            }
            return false;
        }
        if (!set(item.substr(0, equals), item.substr(equals + 1))) {
            return false;
        }
        begin = end + 1;
    }
    return true;
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
