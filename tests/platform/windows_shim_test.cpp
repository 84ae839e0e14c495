#include <gtest/gtest.h>

#include <thread>

#include "windows_shim.h"

namespace {

TEST(MessageBox, WritesCaptionThenTextOnStandardError) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxA(nullptr, "0:1(1): error: syntax", "Vertex Shader Compilation Error",
                          MB_OK | MB_ICONERROR),
              IDOK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Vertex Shader Compilation Error\n0:1(1): error: syntax\n");
}

TEST(Event, AutoResetReleasesOneWaitThenTimesOut) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    std::thread signaller([event] { SetEvent(event); });
    EXPECT_EQ(WaitForSingleObject(event, 20000), WAIT_OBJECT_0);
    signaller.join();
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_TIMEOUT) << "the wait consumed the signal";
    EXPECT_EQ(CloseHandle(event), TRUE);
}

TEST(Event, InitiallySignalledAndNullHandles) {
    HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(SetEvent(nullptr), FALSE);
    EXPECT_EQ(CloseHandle(nullptr), FALSE);
}

}  // namespace
