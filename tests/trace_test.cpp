#include "ks/trace.h"
#include "sim/debug_output.h"

#include <gtest/gtest.h>

namespace {

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ClearDebugOutput();
        SetTraceLevel(6);
    }
    void TearDown() override { SetTraceLevel(0); }
};

TEST_F(TraceTest, WritesOnlyMessagesAtOrBelowTheProcessLevel) {
    SetTraceLevel(0);
    KsTrace(1, "never at level 0");
    SetTraceLevel(3);
    KsTrace(3, "kept");
    KsTrace(4, "dropped");
    KsTrace(1, "kept too");
    EXPECT_EQ(sim::DebugOutput(), (std::vector<std::string>{"kept", "kept too"}));
}

TEST_F(TraceTest, FormatsNumbersAsTheCLibraryDoes) {
    KsTrace(1, "%s Leave, returning %#08x", "CKsPin::Init", 0x80004005u);
    KsTrace(1, "%s Leave, returning %#08x", "CKsPin::Init", 0u);
    KsTrace(1, "%s Leave, returning %#08x", "CKsPin::Init", 1u);
    KsTrace(1, "dwWait:0x%08x PinID: %d %i %u", 0x102u, -3, 7, 4000000000u);
    KsTrace(1, "%ld %llu %zu %X %%", 5L, 6ULL, static_cast<size_t>(7), 0xabu);
    EXPECT_EQ(sim::DebugOutput(), (std::vector<std::string>{
                                      "CKsPin::Init Leave, returning 0x80004005",
                                      "CKsPin::Init Leave, returning 00000000",
                                      "CKsPin::Init Leave, returning 0x000001",
                                      "dwWait:0x00000102 PinID: -3 7 4000000000",
                                      "5 6 7 AB %",
                                  }));
}

TEST_F(TraceTest, PrintsNarrowAndWideTextWithWidth) {
    const WCHAR path[] = TEXT("\\\\?\\usb#vid_f1e2");
    KsTrace(1, "CreateFile failed for device %ls.  ErrorCode = 0x%08x", path, 2u);
    KsTrace(1, "[%5s][%-4s][%.2s][%s]", "ab", "c", "xyz", static_cast<const char*>(nullptr));
    EXPECT_EQ(sim::DebugOutput(),
              (std::vector<std::string>{
                  "CreateFile failed for device \\\\?\\usb#vid_f1e2.  ErrorCode = 0x00000002",
                  "[   ab][c   ][xy][(null)]",
              }));
}

TEST_F(TraceTest, CutsMessagesAt259CharactersAndTerminates) {
    std::string longText(400, 'x');
    KsTrace(1, "%s and more", longText.c_str());
    auto out = sim::DebugOutput();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], std::string(kTraceMessageChars - 1, 'x'));
}

} // namespace
