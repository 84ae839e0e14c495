#include "sound_source.h"

#include <iostream>

#include "NvCodecUtils.h"
#include "camera_source.h"
#include "video_output.h"

namespace {

void logSound(int level, const std::string& text) {
    simplelogger::LogLine(gLogger, level, __FILE__, __LINE__, "sound").stream() << text;
}

}  // namespace

SoundChoice openSoundSource(const Options& options, FileCamera* file) {
    SoundChoice choice;
    if (options.noAudio) {
        logSound(simplelogger::INFO, "Sound: none, --no-audio");
        return choice;
    }
    if (outputKindOf(options.output) == OutputKind::RawStream && options.stream.empty()) {
        logSound(simplelogger::INFO, "Sound: none, \"" + options.output + "\" is a raw " +
                                         codecName(options.codec) +
                                         " stream, which has no place for it; --output "
                                         "NAME.mp4 or NAME.mkv records it");
        return choice;
    }
    if (file != nullptr && options.audio.empty()) {
        auto track = std::make_unique<SoundInput>();
        if (track->openFile(file->path(), file->playhead())) {
            logSound(simplelogger::INFO, "Sound: " + track->description());
            choice.input = std::move(track);
            return choice;
        }
        // A file without sound is shown as a camera is: with the microphone beside it.
    }
    auto input = std::make_unique<SoundInput>([](bool present, const std::string& detail) {
        if (present)
            logSound(simplelogger::INFO, "Sound: " + detail + " is back");
        else
            logSound(simplelogger::WARN, "Sound: the source went away (" + detail +
                                             "); silence fills the recording, trying again "
                                             "every 2 s");
    });
    if (input->open(options.audio)) {
        logSound(simplelogger::INFO, "Sound: " + input->description());
        choice.input = std::move(input);
    } else if (input->failure() == CaptureFailure::UnknownSource) {
        std::cerr << "--audio: " << input->why() << "\n";
        choice.exitStatus = 2;
    } else {
        logSound(simplelogger::INFO, "Sound: none, " + input->why());
    }
    return choice;
}
