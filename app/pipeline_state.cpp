#include "pipeline_state.h"

std::atomic<uint8_t> effectMask{0xFF};
std::atomic<bool> running{true};
LaunchGeometryT LaunchGeometry{dim3(1, 1, 1), dim3(1, 1, 1)};
std::atomic<bool> recording{false};
GLFWwindow* window = nullptr;
CUcontext deviceContext = nullptr;
cudaStream_t encodeStream = nullptr;
CUdeviceptr nv12Frame = 0;
std::atomic<int32_t> writeCount{0};
std::atomic<int32_t> readCount{0};
std::array<FrameSlot, FRAME_RING_SLOTS> FrameRing;
