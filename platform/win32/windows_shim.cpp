#include "windows_shim.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace {

constexpr uint32_t kEventMagic = 0x45564E54;  // "EVNT": tells a live event from a stray pointer

struct Event {
    uint32_t magic = kEventMagic;
    bool manualReset = false;
    bool signalled = false;
    std::mutex mutex;
    std::condition_variable changed;
};

Event* asEvent(HANDLE handle) {
    auto* event = static_cast<Event*>(handle);
    return event != nullptr && event->magic == kEventMagic ? event : nullptr;
}

}  // namespace

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT) {
    std::fprintf(stderr, "%s\n%s\n", lpCaption ? lpCaption : "", lpText ? lpText : "");
    std::fflush(stderr);
    return IDOK;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR) {
    auto* event = new Event;
    event->manualReset = bManualReset != FALSE;
    event->signalled = bInitialState != FALSE;
    return event;
}

BOOL SetEvent(HANDLE hEvent) {
    Event* event = asEvent(hEvent);
    if (event == nullptr)
        return FALSE;
    {
        std::lock_guard<std::mutex> lock(event->mutex);
        event->signalled = true;
    }
    event->changed.notify_all();
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    Event* event = asEvent(hObject);
    if (event == nullptr)
        return FALSE;
    event->magic = 0;
    delete event;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    Event* event = asEvent(hHandle);
    if (event == nullptr)
        return WAIT_FAILED;
    std::unique_lock<std::mutex> lock(event->mutex);
    auto isSignalled = [event] { return event->signalled; };
    if (dwMilliseconds == INFINITE) {
        event->changed.wait(lock, isSignalled);
    } else if (!event->changed.wait_for(lock, std::chrono::milliseconds(dwMilliseconds),
                                        isSignalled)) {
        return WAIT_TIMEOUT;
    }
    if (!event->manualReset)
        event->signalled = false;
    return WAIT_OBJECT_0;
}
