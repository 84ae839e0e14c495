// The viewer on the built-in test pattern, as `camfx --test-pattern` runs it.
#include "camera_source.h"
#include "viewer.h"

int main() {
    Options options;
    options.testPattern = true;
    return runViewer(*openCameraSource(options));
}
