// A recording test double of the NVENC API: it defines the two loading entry points and fills
// the function list with functions that answer with chosen statuses, record every call and
// structure they are given, and keep enough state to catch misuse (unmapping twice, locking
// an empty buffer, ...). It "encodes" a picture into payloadFor(frameIdx).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "nvEncodeAPI.h"

namespace fakenvenc {

struct PresetQuery {
    GUID codec;
    GUID preset;
    NV_ENC_TUNING_INFO tuning;
    NV_ENC_PRESET_CONFIG config;  // as the caller handed it in
};

struct State {
    // Answers.
    uint32_t maxVersion = 0xC2;
    NVENCSTATUS versionStatus = NV_ENC_SUCCESS;
    NVENCSTATUS createInstanceStatus = NV_ENC_SUCCESS;
    bool omitOpenSession = false;  // leave nvEncOpenEncodeSession out of the list
    void* sessionHandle = reinterpret_cast<void*>(0x5E55);
    int asyncCaps = 1;
    NV_ENC_CONFIG preset{};  // what the preset query returns

    // Records, in call order: what the caller handed in, with what the double filled in.
    std::vector<std::string> calls;
    std::vector<NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS> openParams;
    std::vector<NV_ENC_CAPS_PARAM> capsParams;
    std::vector<GUID> capsCodecs;
    std::vector<PresetQuery> presetQueries;
    std::vector<NV_ENC_INITIALIZE_PARAMS> initParams;
    std::vector<NV_ENC_CONFIG> initConfigs;
    std::vector<NV_ENC_EVENT_PARAMS> registeredEvents;
    std::vector<NV_ENC_EVENT_PARAMS> unregisteredEvents;
    std::vector<NV_ENC_CREATE_BITSTREAM_BUFFER> bitstreamCreates;
    std::vector<void*> destroyedBitstreams;
    std::vector<NV_ENC_CREATE_MV_BUFFER> mvCreates;
    std::vector<void*> destroyedMVBuffers;
    std::vector<NV_ENC_REGISTER_RESOURCE> registrations;
    std::vector<void*> unregistered;
    std::vector<NV_ENC_MAP_INPUT_RESOURCE> maps;
    std::vector<void*> unmapped;
    std::vector<NV_ENC_PIC_PARAMS> pictures;
    std::vector<NV_ENC_LOCK_BITSTREAM> locks;
    std::vector<void*> unlocked;
    std::vector<void*> destroyedSessions;
    std::vector<void*> sessionArguments;  // the session handle of every call that takes one
    std::vector<std::string> misuse;

    // Encoder state.
    uintptr_t nextHandle = 0x1000;
    std::set<void*> liveBitstreams;
    std::set<void*> liveMVBuffers;
    std::map<void*, void*> registered;  // handle -> resource
    std::map<void*, void*> mapped;      // mapped handle -> registered handle
    struct Pending {
        std::vector<uint8_t> bytes;
        uint64_t timeStamp;
        bool locked;
    };
    std::map<void*, Pending> pending;  // bitstream buffer -> encoded picture
    // Scripted answers: function name -> statuses for its next calls, after `skip` successes.
    struct Script {
        int skip;
        NVENCSTATUS status;
        int count;
    };
    std::map<std::string, Script> scripts;
};

State& fake();
void reset();

// The next `count` calls of `function`, after `skip` calls that succeed, return `status`.
void answer(const std::string& function, NVENCSTATUS status, int skip = 0, int count = 1);

// How many times `function` was called.
int callCount(const std::string& function);

// The bytes the double produces for the picture with this frame index.
std::vector<uint8_t> payloadFor(uint32_t frameIdx);

// A preset like the driver's P3 low-latency one: no B pictures, no lookahead.
NV_ENC_CONFIG lowLatencyPreset();

}  // namespace fakenvenc
