#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "EncoderTestSupport.h"
#include "windows_shim.h"

using fakenvenc::payloadFor;

namespace {

uint32_t ReadLe32(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t(bytes[at + 3]) << 24;
}

uint64_t ReadLe64(const std::vector<uint8_t>& bytes, size_t at) {
    return ReadLe32(bytes, at) | uint64_t(ReadLe32(bytes, at + 4)) << 32;
}

std::vector<uint8_t> Tail(const std::vector<uint8_t>& bytes, size_t from) {
    return std::vector<uint8_t>(bytes.begin() + from, bytes.end());
}

}  // namespace

using EncodeTest = EncoderTest;

TEST_F(EncodeTest, PacketsComeBackAfterTheOutputLagInOrder) {
    auto encoder = MakeCreated();
    const int lag = encoder->m_nOutputLag;
    ASSERT_EQ(lag, 3);
    Packets packets = {{1, 2, 3}};  // stale content is dropped
    for (int frame = 0; frame < 10; ++frame) {
        SCOPED_TRACE(frame);
        encoder->EncodeFrame(packets);
        if (frame < lag) {
            EXPECT_TRUE(packets.empty());
        } else {
            ASSERT_EQ(packets.size(), 1u);
            EXPECT_EQ(packets[0], payloadFor(frame - lag));
        }
        EXPECT_EQ(encoder->m_iSubmitted, frame + 1);
        EXPECT_EQ(encoder->m_iGot, std::max(0, frame + 1 - lag));
    }
    encoder->EndEncode(packets);
    ASSERT_EQ(packets.size(), size_t(lag));
    for (int i = 0; i < lag; ++i)
        EXPECT_EQ(packets[i], payloadFor(10 - lag + i));
    EXPECT_EQ(encoder->m_iGot, encoder->m_iSubmitted);
    EXPECT_EQ(encoder->m_vMappedInputBuffers, std::vector<NV_ENC_INPUT_PTR>(4, nullptr));
    EXPECT_TRUE(fake().mapped.empty());
    EXPECT_TRUE(fake().pending.empty());
}

TEST_F(EncodeTest, TimedPacketsCarryTheTimeTheirPictureWentInWith) {
    auto encoder = MakeCreated();
    const int lag = encoder->m_nOutputLag;
    std::vector<NvEncOutputPacket> packets(2);  // stale content is dropped
    NV_ENC_PIC_PARAMS asked{};
    asked.inputTimeStamp = 99;  // the argument wins
    asked.encodePicFlags = NV_ENC_PIC_FLAG_FORCEIDR;
    const auto timeOf = [](int frame) { return uint64_t(frame) * 33367 + 11; };
    for (int frame = 0; frame < 7; ++frame) {
        SCOPED_TRACE(frame);
        encoder->EncodeFrame(packets, timeOf(frame), frame == 0 ? &asked : nullptr);
        EXPECT_EQ(fake().pictures.back().inputTimeStamp, timeOf(frame));
        ASSERT_EQ(packets.size(), frame < lag ? 0u : 1u);
        if (frame >= lag) {
            EXPECT_EQ(packets[0].bytes, payloadFor(frame - lag));
            EXPECT_EQ(packets[0].timeStamp, timeOf(frame - lag));
            EXPECT_EQ(packets[0].pictureType, NV_ENC_PIC_TYPE_P);
        }
    }
    EXPECT_EQ(fake().pictures.front().encodePicFlags, uint32_t(NV_ENC_PIC_FLAG_FORCEIDR));
    encoder->EndEncode(packets);
    ASSERT_EQ(packets.size(), size_t(lag));
    for (int i = 0; i < lag; ++i)
        EXPECT_EQ(packets[i].timeStamp, timeOf(7 - lag + i));
    EXPECT_EQ(encoder->m_iGot, encoder->m_iSubmitted);
}

TEST_F(EncodeTest, TimedCallsRaiseInTheNamesOfTheirOperations) {
    auto encoder = Make();
    std::vector<NvEncOutputPacket> packets;
    try {
        encoder->EncodeFrame(packets, 0);
        ADD_FAILURE() << "no raise";
    } catch (const NVENCException& e) {
        EXPECT_EQ(e.ErrorCode(), NV_ENC_ERR_NO_ENCODE_DEVICE);
        EXPECT_EQ(
            std::string(e.what()).rfind("NvEncoder::EncodeFrame : Encoder device not found", 0), 0u)
            << e.what();
    }
    try {
        encoder->EndEncode(packets);
        ADD_FAILURE() << "no raise";
    } catch (const NVENCException& e) {
        EXPECT_EQ(e.ErrorCode(), NV_ENC_ERR_ENCODER_NOT_INITIALIZED);
        EXPECT_EQ(std::string(e.what()).rfind("NvEncoder::EndEncode : ", 0), 0u) << e.what();
    }
}

TEST_F(EncodeTest, EachFrameUsesItsSlotOfTheRing) {
    auto encoder = MakeCreated();
    Packets packets;
    for (int frame = 0; frame < 9; ++frame) {
        const EncoderInputFrame* slot = encoder->NextInputSlot();
        ASSERT_EQ(slot, &encoder->m_vInputSlots[frame % 4]);
        encoder->EncodeFrame(packets);
        const NV_ENC_MAP_INPUT_RESOURCE& map = fake().maps.back();
        EXPECT_EQ(map.version, 0x7204000Cu);
        EXPECT_EQ(map.registeredResource, encoder->m_vRegisteredInputs[frame % 4]);
        const NV_ENC_PIC_PARAMS& pic = fake().pictures.back();
        EXPECT_EQ(pic.inputBuffer, map.mappedResource);
        EXPECT_EQ(pic.outputBitstream, encoder->m_vBitstreamBuffers[frame % 4]);
        EXPECT_EQ(pic.completionEvent, nullptr) << "a synchronous session passes no event";
        EXPECT_EQ(pic.frameIdx, uint32_t(frame));
    }
    for (const NV_ENC_LOCK_BITSTREAM& lock : fake().locks) {
        EXPECT_EQ(lock.version, 0xF202000Cu);
        EXPECT_EQ(lock.doNotWait, 0u);
    }
}

TEST_F(EncodeTest, EndEncodeWithNothingSubmittedAndTwiceInARowSendsOneEndOfStream) {
    auto encoder = MakeCreated();
    Packets packets = {{9}};
    encoder->EndEncode(packets);
    EXPECT_TRUE(packets.empty());
    encoder->EndEncode(packets);
    EXPECT_TRUE(packets.empty());
    ASSERT_EQ(fake().pictures.size(), 1u) << "the driver refuses a second end of stream";
    for (const NV_ENC_PIC_PARAMS& eos : fake().pictures) {
        EXPECT_EQ(eos.version, 0xF207000Cu);
        EXPECT_EQ(eos.encodePicFlags, static_cast<uint32_t>(NV_ENC_PIC_FLAG_EOS));
        EXPECT_EQ(eos.inputBuffer, nullptr);
        EXPECT_EQ(eos.outputBitstream, nullptr);
        EXPECT_EQ(eos.completionEvent, nullptr);
        EXPECT_EQ(eos.inputWidth, 0u);
    }
    EXPECT_EQ(callCount("nvEncLockBitstream"), 0);

    // After a stream, a second end of stream returns nothing more and the ring rotates on.
    EncodeFrames(*encoder, packets, 5);
    encoder->EndEncode(packets);
    EXPECT_EQ(packets.size(), 3u);
    encoder->EndEncode(packets);
    EXPECT_TRUE(packets.empty());
    EXPECT_EQ(fake().pictures.size(), 1u + 5 + 1);
    EXPECT_EQ(encoder->NextInputSlot(), &encoder->m_vInputSlots[1]);
    encoder->CloseEncoder();
    EXPECT_EQ(fake().pictures.size(), 1u + 5 + 1) << "closing sends none either";
}

TEST_F(EncodeTest, NeedMoreInputIsSuccessForPicturesButNotForTheEnd) {
    auto encoder = MakeCreated();
    Packets packets;
    fakenvenc::answer("nvEncEncodePicture", NV_ENC_ERR_NEED_MORE_INPUT, 0, 4);
    EncodeFrames(*encoder, packets, 4);
    EXPECT_EQ(encoder->m_iSubmitted, 4);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], payloadFor(0));

    fakenvenc::answer("nvEncEncodePicture", NV_ENC_ERR_NEED_MORE_INPUT);
    EXPECT_TRUE(Raises([&] { encoder->EndEncode(packets); }, "NvEncoder::SendEOS",
                       "m_nvenc.nvEncEncodePicture(m_hEncoder, &picParams) returned error 17", 17));
    EXPECT_TRUE(packets.empty());
}

TEST_F(EncodeTest, RefusedPictureRaisesAndIsNotCounted) {
    auto encoder = MakeCreated();
    Packets packets = {{1}};
    fakenvenc::answer("nvEncEncodePicture", NV_ENC_ERR_INVALID_PARAM);
    EXPECT_TRUE(Raises([&] { encoder->EncodeFrame(packets); }, "NvEncoder::EncodeFrame",
                       "nvEncEncodePicture API failed", 8));
    EXPECT_TRUE(packets.empty());
    EXPECT_EQ(encoder->m_iSubmitted, 0);
    EXPECT_NE(encoder->m_vMappedInputBuffers[0], nullptr);  // the slot stays mapped
}

TEST_F(EncodeTest, CallerPictureParametersKeepTheirOwnFields) {
    auto encoder = MakeCreated();
    NV_ENC_PIC_PARAMS mine;
    std::memset(&mine, 0, sizeof(mine));
    mine.version = 1;
    mine.inputWidth = 1;
    mine.inputHeight = 2;
    mine.inputPitch = 4096;
    mine.encodePicFlags = NV_ENC_PIC_FLAG_FORCEIDR | NV_ENC_PIC_FLAG_OUTPUT_SPSPPS;
    mine.frameIdx = 99;
    mine.inputTimeStamp = 0x123456789ull;
    mine.inputDuration = 3000;
    mine.inputBuffer = reinterpret_cast<void*>(0xBAD);
    mine.outputBitstream = reinterpret_cast<void*>(0xBAD);
    mine.completionEvent = reinterpret_cast<void*>(0xBAD);
    mine.bufferFmt = NV_ENC_BUFFER_FORMAT_ARGB;
    mine.pictureStruct = NV_ENC_PIC_STRUCT_FIELD_TOP_BOTTOM;
    mine.pictureType = NV_ENC_PIC_TYPE_IDR;
    const NV_ENC_PIC_PARAMS copy = mine;

    Packets packets;
    encoder->EncodeFrame(packets, &mine);
    EXPECT_EQ(std::memcmp(&mine, &copy, sizeof(mine)), 0);  // the caller's stays untouched
    const NV_ENC_PIC_PARAMS& sent = fake().pictures.back();
    EXPECT_EQ(sent.version, 0xF207000Cu);
    EXPECT_EQ(sent.inputWidth, 1280u);
    EXPECT_EQ(sent.inputHeight, 720u);
    EXPECT_EQ(sent.frameIdx, 0u);
    EXPECT_EQ(sent.inputBuffer, fake().maps.back().mappedResource);
    EXPECT_EQ(sent.outputBitstream, encoder->m_vBitstreamBuffers[0]);
    EXPECT_EQ(sent.completionEvent, nullptr);
    EXPECT_EQ(sent.bufferFmt, NV_ENC_BUFFER_FORMAT_NV12);
    EXPECT_EQ(sent.pictureStruct, NV_ENC_PIC_STRUCT_FRAME);
    EXPECT_EQ(sent.inputPitch, 4096u);
    EXPECT_EQ(sent.encodePicFlags, copy.encodePicFlags);
    EXPECT_EQ(sent.inputTimeStamp, 0x123456789ull);
    EXPECT_EQ(sent.inputDuration, 3000u);
    EXPECT_EQ(sent.pictureType, NV_ENC_PIC_TYPE_IDR);

    // Without parameters, everything not set by the encoder is zero.
    encoder->EncodeFrame(packets);
    const NV_ENC_PIC_PARAMS& plain = fake().pictures.back();
    EXPECT_EQ(plain.inputPitch, 0u);
    EXPECT_EQ(plain.encodePicFlags, 0u);
    EXPECT_EQ(plain.inputTimeStamp, 0u);
    EXPECT_EQ(plain.pictureType, NV_ENC_PIC_TYPE_P);
    EXPECT_EQ(plain.frameIdx, 1u);
}

TEST_F(EncodeTest, Av1WithIvfFramesEveryPacketAndHeadsTheFirst) {
    fake().preset.gopLength = 120;
    // No lag: one packet per call. The header keeps the low 16 bits of the width.
    auto encoder = MakeCreated(EncoderOptions().Delay(0).Size(0x10050, 16), NV_ENC_CODEC_AV1_GUID);
    ASSERT_EQ(encoder->m_nOutputLag, 0);
    Packets packets;
    for (uint32_t frame = 0; frame < 3; ++frame) {
        SCOPED_TRACE(frame);
        NV_ENC_PIC_PARAMS pic;
        std::memset(&pic, 0, sizeof(pic));
        pic.inputTimeStamp = 0x100000000ull * (frame + 1) + 7;
        encoder->EncodeFrame(packets, &pic);
        ASSERT_EQ(packets.size(), 1u);
        const std::vector<uint8_t>& packet = packets[0];
        size_t at = 0;
        if (frame == 0) {
            ASSERT_GE(packet.size(), 32u);
            EXPECT_EQ(std::string(packet.begin(), packet.begin() + 4), "DKIF");
            EXPECT_EQ(packet[4] | packet[5] << 8, 0);
            EXPECT_EQ(packet[6] | packet[7] << 8, 32);
            EXPECT_EQ(std::string(packet.begin() + 8, packet.begin() + 12), "AV01");
            EXPECT_EQ(packet[12] | packet[13] << 8, 0x50);
            EXPECT_EQ(packet[14] | packet[15] << 8, 16);
            EXPECT_EQ(ReadLe32(packet, 16), 30u);
            EXPECT_EQ(ReadLe32(packet, 20), 1u);
            EXPECT_EQ(ReadLe32(packet, 24), 65535u);
            EXPECT_EQ(ReadLe32(packet, 28), 0u);
            at = 32;
        }
        ASSERT_EQ(packet.size(), at + 12 + payloadFor(frame).size());
        EXPECT_EQ(ReadLe32(packet, at), payloadFor(frame).size());
        EXPECT_EQ(ReadLe64(packet, at + 4), pic.inputTimeStamp);
        EXPECT_EQ(Tail(packet, at + 12), payloadFor(frame));
    }
}

TEST_F(EncodeTest, IvfOnlyForAv1AndOnlyWhenAsked) {
    // IVF requested, but HEVC; and AV1 without IVF.
    std::unique_ptr<ProbeEncoder> encoders[] = {
        MakeCreated(), MakeCreated(EncoderOptions().NoIvf(), NV_ENC_CODEC_AV1_GUID)};
    for (auto& encoder : encoders) {
        Packets packets;
        EncodeFrames(*encoder, packets, 4);
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_EQ(packets[0], payloadFor(0));
    }
}

TEST_F(EncodeTest, FailurePartWayKeepsThePacketsAlreadyCollected) {
    fake().asyncCaps = 0;  // the retried picture's completion signal is used up
    auto encoder = MakeCreated();
    Packets packets;
    EncodeFrames(*encoder, packets, 3);
    fakenvenc::answer("nvEncLockBitstream", NV_ENC_ERR_LOCK_BUSY, 1);
    EXPECT_TRUE(Raises([&] { encoder->EndEncode(packets); }, "NvEncoder::GetEncodedPacket",
                       "m_nvenc.nvEncLockBitstream(m_hEncoder, &lockBitstreamData) returned "
                       "error 13",
                       13));
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], payloadFor(0));
    EXPECT_EQ(encoder->m_iGot, 1);

    // The next end of stream picks up where it stopped.
    encoder->EndEncode(packets);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], payloadFor(1));
    EXPECT_EQ(packets[1], payloadFor(2));
}

TEST_F(EncodeTest, FailingUnlockAndUnmapRaiseWithTheirCallTexts) {
    // Synchronous: the retried picture's completion signal was used up by the first try.
    fake().asyncCaps = 0;
    auto encoder = MakeCreated();
    Packets packets;
    EncodeFrames(*encoder, packets, 3);
    fakenvenc::answer("nvEncUnlockBitstream", NV_ENC_ERR_INVALID_PARAM);
    EXPECT_TRUE(Raises(
        [&] { encoder->EncodeFrame(packets); }, "NvEncoder::GetEncodedPacket",
        "m_nvenc.nvEncUnlockBitstream(m_hEncoder, lockBitstreamData.outputBitstream) returned "
        "error 8",
        8));
    EXPECT_EQ(packets.size(), 1u);  // copied before the unlock
    EXPECT_EQ(encoder->m_iGot, 0);

    auto second = MakeCreated();
    EncodeFrames(*second, packets, 3);
    fakenvenc::answer("nvEncUnmapInputResource", NV_ENC_ERR_RESOURCE_NOT_MAPPED);
    EXPECT_TRUE(Raises([&] { second->EncodeFrame(packets); }, "NvEncoder::GetEncodedPacket",
                       "m_nvenc.nvEncUnmapInputResource(m_hEncoder, "
                       "m_vMappedInputBuffers[m_iGot % m_nEncoderBuffer]) returned error 25",
                       25));
    // Teardown drains again from the picture that failed, which the double has released.
    encoder.reset();
    second.reset();
    fake().misuse.clear();
}

TEST_F(EncodeTest, FailingMapRaisesWithItsCallText) {
    auto encoder = MakeCreated();
    Packets packets;
    fakenvenc::answer("nvEncMapInputResource", NV_ENC_ERR_MAP_FAILED);
    EXPECT_TRUE(Raises([&] { encoder->EncodeFrame(packets); }, "NvEncoder::MapResources",
                       "m_nvenc.nvEncMapInputResource(m_hEncoder, &mapInputResource) returned "
                       "error 16",
                       16));
    EXPECT_EQ(callCount("nvEncEncodePicture"), 0);
}

TEST_F(EncodeTest, EncodingBeforeCreateEncoderOrAfterClose) {
    std::unique_ptr<ProbeEncoder> encoders[] = {Make(), MakeCreated()};
    encoders[1]->CloseEncoder();
    for (auto& encoder : encoders) {
        Packets packets = {{1}};
        EXPECT_TRUE(Raises([&] { encoder->EncodeFrame(packets); }, "NvEncoder::EncodeFrame",
                           "Encoder device not found", 1));
        EXPECT_TRUE(packets.empty());
        packets = {{1}};
        EXPECT_TRUE(Raises([&] { encoder->EndEncode(packets); }, "NvEncoder::EndEncode",
                           "Encoder device not initialized", 11));
        EXPECT_TRUE(packets.empty());
    }
}

TEST_F(EncodeTest, SessionsWithoutBitstreamOutputRefuseToEncode) {
    for (bool motionOnly : {false, true}) {
        SCOPED_TRACE(motionOnly);
        fakenvenc::reset();
        EncoderOptions options;
        options.motionOnly = motionOnly;
        options.videoMemoryOutput = !motionOnly;
        auto encoder = MakeCreated(options, NV_ENC_CODEC_H264_GUID);
        Packets packets;
        EXPECT_TRUE(Raises([&] { encoder->EncodeFrame(packets); }, "NvEncoder::EncodeFrame",
                           "Session has no bitstream output in system memory",
                           NV_ENC_ERR_INVALID_CALL));
        EXPECT_TRUE(Raises([&] { encoder->EndEncode(packets); }, "NvEncoder::EndEncode",
                           "Session has no bitstream output in system memory",
                           NV_ENC_ERR_INVALID_CALL));
        EXPECT_EQ(callCount("nvEncEncodePicture"), 0);
    }
}

TEST_F(EncodeTest, CompletionEventsAreWaitedOnOnlyInAsyncMode) {
    // The double signals a picture's event when it takes the picture. Waiting consumes the
    // auto-reset signal; a synchronous session has no events at all.
    auto async = MakeCreated(EncoderOptions().WindowsEvents());
    ASSERT_EQ(async->m_initializeParams.enableEncodeAsync, 1u);
    Packets packets;
    EncodeFrames(*async, packets, 4);
    EXPECT_EQ(WaitForSingleObject(async->m_vCompletionEvents[0], 0), WAIT_TIMEOUT);

    fake().asyncCaps = 0;
    auto sync = MakeCreated(EncoderOptions().WindowsEvents());
    ASSERT_EQ(sync->m_initializeParams.enableEncodeAsync, 0u);
    EncodeFrames(*sync, packets, 4);
    EXPECT_EQ(packets.size(), 1u);
    EXPECT_TRUE(sync->m_vCompletionEvents.empty()) << "a synchronous session needs none";
    EXPECT_EQ(fake().pictures.back().completionEvent, nullptr);
}

TEST_F(EncodeTest, FailedWaitRaises) {
    auto encoder = MakeCreated(EncoderOptions().WindowsEvents());
    Packets packets;
    EncodeFrames(*encoder, packets, 3);
    // A handle that is no event makes the wait fail.
    CloseHandle(encoder->m_vCompletionEvents[0]);
    encoder->m_vCompletionEvents[0] = nullptr;
    EXPECT_TRUE(Raises([&] { encoder->EncodeFrame(packets); }, "NvEncoder::WaitForCompletionEvent",
                       "Failed to encode frame", NV_ENC_ERR_GENERIC));
    EXPECT_EQ(callCount("nvEncLockBitstream"), 0);
}

TEST_F(EncodeTest, MotionOnlySlotsMapTheirReferenceToo) {
    auto encoder = MakeCreated(EncoderOptions().MotionOnly(), NV_ENC_CODEC_H264_GUID);
    // MapResources is the per-frame step that motion-only sessions share with the others.
    encoder->MapResources(2);
    ASSERT_EQ(fake().maps.size(), 2u);
    EXPECT_EQ(fake().maps[0].registeredResource, encoder->m_vRegisteredInputs[2]);
    EXPECT_EQ(fake().maps[1].registeredResource, encoder->m_vRegisteredReferences[2]);
    EXPECT_EQ(encoder->m_vMappedInputBuffers[2], fake().maps[0].mappedResource);
    EXPECT_EQ(encoder->m_vMappedRefBuffers[2], fake().maps[1].mappedResource);
    encoder->CloseEncoder();  // unmaps both
    EXPECT_TRUE(fake().mapped.empty());
}

TEST_F(EncodeTest, RegisteredSlotsDescribeTheirBuffers) {
    auto encoder = MakeCreated(EncoderOptions().Format(NV_ENC_BUFFER_FORMAT_YV12).Size(640, 481),
                               NV_ENC_CODEC_H264_GUID);
    const uint32_t pitch = static_cast<uint32_t>(encoder->m_nInputPitch);
    ASSERT_GE(pitch, 640u);
    for (const EncoderInputFrame& slot : encoder->m_vInputSlots) {
        EXPECT_NE(slot.bufferPtr, 0u);
        EXPECT_EQ(slot.planeOffsets[0], pitch * 481);
        EXPECT_EQ(slot.planeOffsets[1], pitch * 481 + (pitch + 1) / 2 * 241);
        EXPECT_EQ(slot.planeCount, 2u);
        EXPECT_EQ(slot.lumaPitch, pitch);
        EXPECT_EQ(slot.planePitch, (pitch + 1) / 2);
        EXPECT_EQ(slot.format, NV_ENC_BUFFER_FORMAT_YV12);
        EXPECT_EQ(slot.resourceKind, NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR);
    }
}
