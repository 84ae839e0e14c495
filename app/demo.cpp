// The viewer on a built-in test pattern at 30 frames a second, for machines without a camera.
#include "TestPatternCamera.h"
#include "viewer.h"

int main() {
    camfx::TestPatternCamera::Options options;
    options.fps = 30.0;
    camfx::TestPatternCamera camera(options);
    return runViewer(camera);
}
