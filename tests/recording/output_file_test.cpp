// The recording's output file: one writer through its lock, and its ERROR lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "container_output.h"
#include "output_file.h"
#include "text_count.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class OutputFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/camfx-output-XXXXXX";
        dir = mkdtemp(pattern);
        path = dir + "/camera.hevc";
        CaptureStdout();
    }
    void TearDown() override {
        GetCapturedStdout();
        std::filesystem::remove_all(dir);
    }
    void write(OutputFile& file, const std::string& text) {
        file.write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }

    std::string dir, path;
};

TEST_F(OutputFileTest, ASecondWriterNeitherTruncatesNorWrites) {
    OutputFile first, second;
    ASSERT_TRUE(first.open(path.c_str()));
    write(first, "first");
    EXPECT_FALSE(second.open(path.c_str()));
    write(second, "second");
    EXPECT_FALSE(second.good());
    EXPECT_EQ(contents(path), "first");
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(countOf(out, "[ERROR]"), 1) << out;
    EXPECT_NE(
        out.find("Cannot lock \"" + path + "\": it is held by process " + std::to_string(getpid())),
        std::string::npos)
        << out;

    CaptureStdout();
    first.close();  // releases the lock: the next writer starts a new recording
    ASSERT_TRUE(second.open(path.c_str()));
    EXPECT_TRUE(second.good());
    EXPECT_EQ(contents(path), "");

    // Opening again lets go of the file it had, lock and all.
    ASSERT_TRUE(second.open(path.c_str()));
    second.close();
    EXPECT_TRUE(first.open(path.c_str()));
}

TEST_F(OutputFileTest, ANewFileNeverReplacesOneThatIsThere) {
    const std::string clip = dir + "/clip.mkv";
    std::ofstream(clip) << "earlier run";
    OutputFile second, third;
    ASSERT_TRUE(second.openNew(clip));
    ASSERT_TRUE(third.openNew(clip));
    write(second, "2");
    write(third, "3");
    EXPECT_EQ(second.path(), dir + "/clip-2.mkv");
    EXPECT_EQ(third.path(), dir + "/clip-3.mkv");
    EXPECT_EQ(contents(clip), "earlier run");
    EXPECT_EQ(contents(third.path()), "3");

    OutputFile nowhere;
    EXPECT_FALSE(nowhere.openNew(dir + "/missing/clip.mkv"));
    EXPECT_FALSE(nowhere.good());
    const std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Cannot create \"" + dir + "/missing/clip.mkv\": No such file"),
              std::string::npos)
        << out;
    CaptureStdout();
}

TEST_F(OutputFileTest, ASealedFileKeepsWhatWasWritten) {
    OutputFile file;
    ASSERT_TRUE(file.open(path.c_str()));
    write(file, "whole");
    file.seal(std::chrono::milliseconds(100));
    write(file, "more");
    EXPECT_EQ(contents(path), "whole");
    EXPECT_FALSE(file.good());

    // The process is ending: what is refused now is no failure to tell.
    ContainerOutput container(file, dir + "/camera.mkv", OutputKind::Matroska, VideoCodec::Hevc,
                              FrameRate{}, {});
    const uint8_t picture[] = {0, 0, 0, 1, 19 << 1, 1, 0x5A, 0x5A};
    container.write(TimedPacket{picture, sizeof picture, 0, true});
    container.finish();
    EXPECT_EQ(countOf(GetCapturedStdout(), "ERROR"), 0);
    CaptureStdout();
}

}  // namespace
