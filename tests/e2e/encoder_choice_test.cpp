// The viewer records through whichever encoder the loader chooses for the library that
// CAMFX_NVENC_LIBRARY names: one line says which and why, and FFmpeg reads every frame.
#include <gtest/gtest.h>

#include <regex>

#include "child_process.h"
#include "hevc_check.h"
#include "viewer_fixture.h"

namespace {

using namespace std::chrono_literals;

struct Choice {
    const char* name;
    std::string library;
    std::string line;  // what follows "Recording <codec> with " in the INFO line, as a pattern
    std::string codec = "hevc";
};

void PrintTo(const Choice& choice, std::ostream* os) {
    *os << choice.name;
}

std::string quoted(const std::string& text) {
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

const std::string kSoftware =
    R"(the software encoder, libx265 .*, 1280x720 at 30/1 fps, constant quality 26: )";

class EncoderChoice : public ::testing::TestWithParam<Choice> {};

TEST_P(EncoderChoice, RecordsAndSaysWhichEncoderAndWhy) {
    if (std::getenv("DISPLAY") == nullptr)
        GTEST_SKIP() << "needs an X display";
    TempDir dir;
    std::map<std::string, std::string> environment = childEnvironment();
    environment["CAMFX_NVENC_LIBRARY"] = GetParam().library;
    ChildProcess app(CAMFX_TESTAPP,
                     {"--fps=30", "--record", "--seconds=2", "--codec=" + GetParam().codec},
                     dir.path(), environment);
    ASSERT_EQ(app.waitForExit(60s), 0) << app.standardError();

    const std::string out = app.standardOutput();
    const std::map<std::string, std::pair<std::string, std::string>> codecs = {
        {"hevc", {"HEVC", "camera.hevc"}},
        {"h264", {"H\\.264", "camera.h264"}},
        {"av1", {"AV1", "camera.ivf"}}};
    const auto& [codecName, file] = codecs.at(GetParam().codec);
    const std::regex line(R"(\[INFO \]\[\d\d:\d\d:\d\d\] Recording )" + codecName + " with " +
                          GetParam().line + "\n");
    EXPECT_TRUE(std::regex_search(out, line)) << out;
    std::smatch encoded;
    const std::string err = app.standardError();
    ASSERT_TRUE(std::regex_search(err, encoded, std::regex(R"(encoded=(\d+))"))) << err;
    EXPECT_GT(std::stoi(encoded[1]), 0);
    EXPECT_EQ(probe(dir.path() + "/" + file).frames, std::stoi(encoded[1]));
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, EncoderChoice,
    ::testing::Values(
        Choice{"None", "/nonexistent/libnvidia-encode.so.1",
               kSoftware + quoted("cannot load /nonexistent/libnvidia-encode.so.1: ") +
                   ".*No such file or directory"},
        Choice{"WithoutEntryPoints", CAMFX_DRIVER_BARE,
               kSoftware + quoted(std::string(CAMFX_DRIVER_BARE) +
                                  " lacks the entry point NvEncodeAPIGetMaxSupportedVersion")},
        Choice{"TooOld", CAMFX_DRIVER_11_1,
               kSoftware + "the driver supports NVENC API 11\\.1, this build needs 12\\.2"},
        Choice{"RefusingTheSession", CAMFX_DRIVER_REFUSING,
               kSoftware + quoted("the hardware encoder refused the session "
                                  "(NV_ENC_ERR_UNSUPPORTED_DEVICE)")},
        Choice{"ThatEncodes", CAMFX_DRIVER_SWENC,
               quoted(std::string("the driver's NVENC encoder, ") + CAMFX_DRIVER_SWENC +
                      " (NVENC API 12.2 in this build, 12.2 in the driver), constant quality "
                      "26")},
        // A GPU without AV1 (before the 40 series) records AV1 in software, and says why;
        // H.264 it still records itself.
        Choice{"WithoutAv1", CAMFX_DRIVER_WITHOUT_AV1,
               R"(the software encoder, SVT-AV1 .*, 1280x720 at 30/1 fps, constant quality \d+: )"
               "the GPU's encoder has no AV1",
               "av1"},
        Choice{"WithoutAv1ButH264", CAMFX_DRIVER_WITHOUT_AV1,
               quoted(std::string("the driver's NVENC encoder, ") + CAMFX_DRIVER_WITHOUT_AV1 +
                      " (NVENC API 12.2 in this build, 12.2 in the driver), constant quality ") +
                   "\\d+",
               "h264"}),
    [](const ::testing::TestParamInfo<Choice>& info) { return info.param.name; });

}  // namespace
