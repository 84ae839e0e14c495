// The CUDA flavor's viewer on a real GPU, in a real X server: the pictures it shows are the
// host kernels' pictures of the same frames, and what it records decodes. Its log says which
// display path and which encoder the machine uses; it is printed for the reader.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <thread>

#include "hevc_check.h"
#include "picture_match.h"
#include "viewer_fixture.h"

namespace {

using namespace std::chrono_literals;

// Carried to a GPU machine, the viewer may live elsewhere than where it was built.
std::string viewerBinary() {
    const char* carried = std::getenv("CAMFX_VIEWER");
    return carried != nullptr ? carried : CAMFX_BINARY;
}

TEST_F(ViewerTest, ShowsAndRecordsTheHostFlavorsPictures) {
    start({"--test-pattern"}, viewerBinary());
    // Exact where the kernels are integer work; the swirl's float math may round apart.
    const SwirlMatch swirl = matchSwirledPattern(x.capture(window), 0x0F);
    EXPECT_GE(swirl.matchingShare, kSwirlMatchingShare) << "phase " << swirl.time;
    x.tap(XK_1), x.tap(XK_2), x.tap(XK_3), x.tap(XK_4);
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(matchesPattern(x.capture(window), 0x00)) << "all effects off";
    x.tap(XK_1), x.tap(XK_2), x.tap(XK_3);
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(matchesPattern(x.capture(window), 0x07)) << "mosaic, negative and mirror";

    x.tap(XK_space);
    std::this_thread::sleep_for(3s);
    x.tap(XK_space);
    ASSERT_EQ(close(), 0) << app->standardError();
    std::cout << app->standardOutput();

    const std::string file = dir.path() + "/camera.hevc";
    EXPECT_GT(probe(file).frames, 30) << "three seconds at 30 frames a second";
    EXPECT_EQ(decodeErrors(file), "");
    EXPECT_EQ(app->standardOutput().find("[ERROR]"), std::string::npos);
}

}  // namespace
