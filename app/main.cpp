#include <filesystem>
#include <iostream>
#include <memory>

#include "camera_source.h"
#include "options.h"
#include "recording.h"
#include "sound_source.h"
#include "viewer.h"

int main(int argc, char** argv) {
    const CommandLine commandLine = parseCommandLine(argc, argv, std::cout, std::cerr);
    if (commandLine.exitStatus)
        return *commandLine.exitStatus;
    const Options& options = commandLine.options;

    setVideoCodec(options.codec);
    setOutputPath(options.output);
    setStreamUrl(options.stream);
    setBitrate(options.bitrate);
    std::unique_ptr<cv::VideoCapture> camera = openCameraSource(options);
    if (!options.input.empty() && !camera->isOpened())
        std::cerr << "\"" << options.input << "\" is not a video that can be read.\n";
    if (!camera->isOpened())
        return runViewer(*camera);
    SoundChoice sound = openSoundSource(options, dynamic_cast<FileCamera*>(camera.get()));
    if (sound.exitStatus)
        return *sound.exitStatus;
    ViewerSettings settings;
    settings.fullScreen = options.fullScreen;
    settings.snapshotFolder = !options.snapshots.empty()
                                  ? options.snapshots
                                  : std::filesystem::path(options.output).parent_path().string();
    return runViewer(*camera, sound.input.get(), settings);
}
