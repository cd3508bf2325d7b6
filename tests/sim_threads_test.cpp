// The simulated threads, time and scheduler.
#include "sim/failure_injection.h"
#include "sim/kernel_objects.h"
#include "sim/threads.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

std::atomic<int> g_ran{0};
HANDLE g_release = nullptr;

DWORD WINAPI Worker(LPVOID parameter) {
    WaitForSingleObject(g_release, INFINITE);
    g_ran += *static_cast<int*>(parameter);
    return 42;
}

TEST(SimThreads, AThreadHandleIsSignalledWhenTheThreadEnds) {
    g_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    int add = 3;
    HANDLE thread = CreateThread(nullptr, 0, &Worker, &add, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 259u); // still active
    SetEvent(g_release);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0); // stays signalled
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(g_ran.load(), 3);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_TRUE(CloseHandle(g_release));
}

TEST(SimThreads, CreationCanBeMadeToFail) {
    sim::FailNext(sim::Call::CreateThread, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateThread(nullptr, 0, &Worker, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

TEST(SimScheduler, RecordsTasksAndReverts) {
    const int joins = sim::MmcssJoins(), reverts = sim::MmcssReverts();
    DWORD index = 0;
    HANDLE task = AvSetMmThreadCharacteristicsA("Pro Audio", &index);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(sim::LastMmcssTask(), "Pro Audio");
    EXPECT_TRUE(AvRevertMmThreadCharacteristics(task));
    EXPECT_EQ(sim::MmcssJoins(), joins + 1);
    EXPECT_EQ(sim::MmcssReverts(), reverts + 1);
    sim::FailNext(sim::Call::AvSetMmThreadCharacteristicsA, ERROR_ACCESS_DENIED);
    EXPECT_EQ(AvSetMmThreadCharacteristicsA("Pro Audio", &index), nullptr);
}

TEST(SimTime, FollowsTheOverrideAndOtherwiseRuns) {
    sim::SetTimeOverride(1234);
    EXPECT_EQ(timeGetTime(), 1234u);
    sim::ClearTimeOverride();
    const DWORD before = timeGetTime();
    Sleep(5);
    EXPECT_GE(timeGetTime(), before);
}

} // namespace
