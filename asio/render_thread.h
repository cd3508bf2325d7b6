// The render thread: streams the host's output halves to the render pin, one write in flight, each
// completion driving the next host buffer switch. One stream per process.
#pragma once

#include "platform/asio.h"

class ASIOLarkspur;

constexpr int kStreamPackets = 16;
constexpr int kRingSlots = 16;
constexpr uint32_t kRingSlotBytes = 16384;
constexpr int kDrainPasses = 16;
constexpr DWORD kStopWaitMilliseconds = 1000;
// The render thread gives up on a device that completes nothing for the larger of this and four periods.
constexpr DWORD kMinimumCompletionWaitMilliseconds = 1000;
constexpr DWORD kMaximumCompletionWaitMilliseconds = 60000;

// Starts the thread for `driver`; false when no thread could be created.
bool StartRenderThread(ASIOLarkspur* driver);
// Asks the thread serving `driver` to end and waits for it at most kStopWaitMilliseconds.
void StopRenderThread(ASIOLarkspur* driver);
// Waits for a thread serving `driver` that StopRenderThread gave up on, however long it drains.
void WaitForRenderThreadEnd(ASIOLarkspur* driver);
// The driver whose render thread runs and has not been asked to stop, or null.
ASIOLarkspur* StreamingDriver();

DWORD WINAPI RenderThreadProc(LPVOID);
void ProcessPeriod(ASIOLarkspur* driver, uint64_t& period);
void SwitchWithTimeInfo(ASIOLarkspur* driver, ASIOCallbacks* callbacks);
void StampSystemTime(ASIOTimeStamp* stamp);

// How long the render thread waits for one completion of `frames` frames at `framesPerSecond`.
DWORD CompletionWaitMilliseconds(int32_t frames, uint32_t framesPerSecond);
