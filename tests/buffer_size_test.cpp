// The user's buffer size: parsing the registry value, what a host sees through getBufferSize, and the
// panel's OK step with the messages it sends a host.
#include "asio/asio_larkspur.h"
#include "asio/buffer_size_setting.h"
#include "ks/trace.h"
#include "sim/debug_output.h"
#include "sim/registry.h"
#include "tests/support/host.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

using namespace testing_support;

namespace {

const std::u16string kKey = u"Software\\Larkspur\\ASIO";

std::vector<BYTE> Bytes(const void* data, size_t size) {
    const auto* bytes = static_cast<const BYTE*>(data);
    return std::vector<BYTE>(bytes, bytes + size);
}

void StoreDword(uint32_t value) {
    sim::RegistrySetValue(HKEY_CURRENT_USER, kKey, u"BufferSize", REG_DWORD, Bytes(&value, sizeof value));
}

std::string Describe(const BufferSizeSetting& setting) {
    char text[256];
    DescribeBufferSizeSetting(setting, text, sizeof text);
    return text;
}

struct Sizes {
    int32_t min = -1, max = -1, preferred = -1, granularity = -1;
    bool operator==(const Sizes&) const = default;
};

Sizes SizesOf(IASIO* driver) {
    Sizes s;
    EXPECT_EQ(driver->getBufferSize(&s.min, &s.max, &s.preferred, &s.granularity), ASE_OK);
    return s;
}

Sizes Single(int32_t size) {
    return Sizes{size, size, size, 0};
}

void SetFormat(IASIO* driver, ASIOIoFormatType type) {
    ASIOIoFormat format{};
    format.FormatType = type;
    ASSERT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
}

class BufferSizeSettingTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ResetRegistry();
        sim::ClearDebugOutput();
    }
    void TearDown() override {
        SetTraceLevel(0);
        sim::ResetRegistry();
    }
};

TEST_F(BufferSizeSettingTest, EveryListedSizeIsTakenAsItStands) {
    for (int32_t frames : kBufferSizeChoices) {
        const DWORD value = static_cast<DWORD>(frames);
        const BufferSizeSetting setting = ParseBufferSizeValue(
            ERROR_SUCCESS, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        EXPECT_EQ(setting.frames, frames);
        EXPECT_EQ(setting.source, BufferSizeSource::Setting);
    }
    EXPECT_EQ(kBufferSizeChoiceCount, 7);
}

TEST_F(BufferSizeSettingTest, AnythingElseIsTheDefaultWithAnErrorTrace) {
    SetTraceLevel(TRACE_ERROR);
    const DWORD unlisted[] = {0, 1, 16, 48, 100, 1000, 4096, 0x80000000u, 0xFFFFFFFFu};
    for (DWORD value : unlisted) {
        const BufferSizeSetting setting = ParseBufferSizeValue(
            ERROR_SUCCESS, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        EXPECT_EQ(setting.frames, 1024) << value;
        EXPECT_EQ(setting.source, BufferSizeSource::Invalid) << value;
    }
    const DWORD sixtyFour = 64;
    const auto* data = reinterpret_cast<const BYTE*>(&sixtyFour);
    // 64 stored as a string, as binary, as two bytes, or larger than a DWORD.
    EXPECT_EQ(ParseBufferSizeValue(ERROR_SUCCESS, REG_SZ, data, 4).source, BufferSizeSource::Invalid);
    EXPECT_EQ(ParseBufferSizeValue(ERROR_SUCCESS, 3 /* REG_BINARY */, data, 4).source,
              BufferSizeSource::Invalid);
    EXPECT_EQ(ParseBufferSizeValue(ERROR_SUCCESS, REG_DWORD, data, 2).source, BufferSizeSource::Invalid);
    EXPECT_EQ(ParseBufferSizeValue(ERROR_MORE_DATA, 11 /* REG_QWORD */, data, 8).frames, 1024);
    EXPECT_EQ(ParseBufferSizeValue(ERROR_ACCESS_DENIED, REG_DWORD, data, 4).frames, 1024);
    const BufferSizeSetting missing = ParseBufferSizeValue(ERROR_FILE_NOT_FOUND, 0, nullptr, 0);
    EXPECT_EQ(missing.frames, 1024);
    EXPECT_EQ(missing.source, BufferSizeSource::Missing);

    // One level-1 line for each of the 15 fallbacks, naming the value.
    const std::vector<std::string> trace = sim::DebugOutput();
    ASSERT_EQ(trace.size(), 15u);
    EXPECT_EQ(trace[3], "BufferSize 48 in HKEY_CURRENT_USER\\Software\\Larkspur\\ASIO is not a size of this "
                        "driver; using 1024");
    for (const std::string& line : trace)
        EXPECT_NE(line.find("BufferSize"), std::string::npos) << line;

    // Silent at the normal trace level.
    sim::ClearDebugOutput();
    SetTraceLevel(0);
    ParseBufferSizeValue(ERROR_FILE_NOT_FOUND, 0, nullptr, 0);
    EXPECT_TRUE(sim::DebugOutput().empty());
}

TEST_F(BufferSizeSettingTest, ReadsTheCurrentUsersValue) {
    EXPECT_EQ(ReadBufferSizeSetting().source, BufferSizeSource::Missing); // no key at all
    sim::RegistryCreateKey(HKEY_CURRENT_USER, kKey);
    EXPECT_EQ(ReadBufferSizeSetting().source, BufferSizeSource::Missing); // the key without the value
    StoreDword(256);
    EXPECT_EQ(ReadBufferSizeSetting().frames, 256);
    // The value name and the key ignore letter case, as on Windows.
    sim::ResetRegistry();
    const uint32_t value = 128;
    sim::RegistrySetValue(HKEY_CURRENT_USER, u"SOFTWARE\\larkspur\\asio", u"buffersize", REG_DWORD,
                          Bytes(&value, sizeof value));
    EXPECT_EQ(ReadBufferSizeSetting().frames, 128);

    // An eight-byte value does not fit the reader's DWORD: the registry answers ERROR_MORE_DATA.
    const uint64_t wide = 64;
    sim::RegistrySetValue(HKEY_CURRENT_USER, kKey, u"BufferSize", 11, Bytes(&wide, sizeof wide));
    EXPECT_EQ(ReadBufferSizeSetting().frames, 1024);
    sim::RegistrySetString(HKEY_CURRENT_USER, kKey, u"BufferSize", u"64");
    EXPECT_EQ(ReadBufferSizeSetting().frames, 1024);
    // The machine's key is not the user's.
    sim::ResetRegistry();
    sim::RegistrySetValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Larkspur\\ASIO", u"BufferSize", REG_DWORD,
                          Bytes(&value, sizeof value));
    EXPECT_EQ(ReadBufferSizeSetting().frames, 1024);
    EXPECT_EQ(sim::OpenRegistryKeyCount(), 0u);
}

TEST_F(BufferSizeSettingTest, WritesListedSizesOnly) {
    EXPECT_EQ(WriteBufferSizeSetting(64), ERROR_SUCCESS);
    auto stored = sim::RegistryGetValue(HKEY_CURRENT_USER, kKey, u"BufferSize");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(stored->data, (std::vector<BYTE>{64, 0, 0, 0}));
    EXPECT_EQ(ReadBufferSizeSetting().frames, 64);

    EXPECT_EQ(WriteBufferSizeSetting(48), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WriteBufferSizeSetting(-1024), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ReadBufferSizeSetting().frames, 64);

    sim::DenyRegistryWrites(HKEY_CURRENT_USER, true);
    EXPECT_EQ(WriteBufferSizeSetting(2048), ERROR_ACCESS_DENIED);
    sim::DenyRegistryWrites(HKEY_CURRENT_USER, false);
    EXPECT_EQ(ReadBufferSizeSetting().frames, 64);
    EXPECT_EQ(sim::OpenRegistryKeyCount(), 0u);
}

TEST_F(BufferSizeSettingTest, DescribesWhereTheSizeCameFrom) {
    EXPECT_EQ(Describe(ReadBufferSizeSetting()),
              "the default, as HKEY_CURRENT_USER\\Software\\Larkspur\\ASIO has no BufferSize");
    StoreDword(64);
    EXPECT_EQ(Describe(ReadBufferSizeSetting()),
              "set by BufferSize in HKEY_CURRENT_USER\\Software\\Larkspur\\ASIO");
    StoreDword(4096);
    EXPECT_EQ(Describe(ReadBufferSizeSetting()),
              "the default, as BufferSize 4096 in HKEY_CURRENT_USER\\Software\\Larkspur\\ASIO is not one of "
              "32, 64, 128, 256, 512, 1024, 2048");
    sim::RegistrySetString(HKEY_CURRENT_USER, kKey, u"BufferSize", u"64");
    const BufferSizeSetting text = ReadBufferSizeSetting();
    EXPECT_EQ(Describe(text),
              "the default, as BufferSize in HKEY_CURRENT_USER\\Software\\Larkspur\\ASIO is not a REG_DWORD");
    // Cut to the caller's buffer, with the full length returned.
    char small[8];
    EXPECT_EQ(DescribeBufferSizeSetting(text, small, sizeof small), Describe(text).size());
    EXPECT_STREQ(small, "the def");

    // The sizes the text names are the ones the driver takes.
    std::string listed;
    for (int32_t frames : kBufferSizeChoices)
        listed += (listed.empty() ? "" : ", ") + std::to_string(frames);
    StoreDword(48);
    EXPECT_NE(Describe(ReadBufferSizeSetting()).find("not one of " + listed), std::string::npos);
    EXPECT_EQ(DescribeBufferSizeSetting(text, nullptr, 0), Describe(text).size());
}

TEST_F(BufferSizeSettingTest, BufferMillisecondsAtTheRate) {
    EXPECT_DOUBLE_EQ(BufferMilliseconds(64, 48000.0, false), 64000.0 / 48000.0);
    EXPECT_DOUBLE_EQ(BufferMilliseconds(1024, 44100.0, false), 1024000.0 / 44100.0);
    // DSD: 32 one-bit samples a word at the bit rate, as long as the PCM size at a 64th of it.
    EXPECT_DOUBLE_EQ(BufferMilliseconds(1024, 2822400.0, true), BufferMilliseconds(1024, 88200.0, false));
    EXPECT_EQ(BufferMilliseconds(64, 0.0, false), 0.0);
    EXPECT_EQ(BufferMilliseconds(64, -44100.0, false), 0.0);
    EXPECT_EQ(BufferMilliseconds(64, std::nan(""), false), 0.0);
}

// Through IASIO, as hosts see it.
class BufferSizeHost : public BufferSizeSettingTest {
protected:
    void SetUp() override {
        BufferSizeSettingTest::SetUp();
        driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
    }
    void TearDown() override {
        if (driver) {
            EXPECT_EQ(driver->Release(), 0u);
        }
        BufferSizeSettingTest::TearDown();
    }
    ASIOError Create(int32_t size) {
        ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
        return driver->createBuffers(infos, 2, size, &recorder.callbacks);
    }
    ASIOLarkspur* Larkspur() { return static_cast<ASIOLarkspur*>(driver); }
    int Count(int32_t selector) const {
        int n = 0;
        for (int32_t s : recorder.messages)
            n += s == selector;
        return n;
    }

    IASIO* driver = nullptr;
    HostRecorder recorder;
};

TEST_F(BufferSizeHost, WithoutASettingEveryFigureIsAsBefore) {
    EXPECT_EQ(SizesOf(driver), Single(1024));
    SetFormat(driver, kASIODSDFormat);
    EXPECT_EQ(SizesOf(driver), Single(32768));
    EXPECT_EQ(driver->controlPanel(), ASE_NotPresent); // no panel in this build
}

TEST_F(BufferSizeHost, TheSettingIsWhatAHostSeesUntilItCreatesBuffers) {
    StoreDword(64);
    EXPECT_EQ(SizesOf(driver), Single(64));
    SetFormat(driver, kASIODSDFormat);
    EXPECT_EQ(SizesOf(driver), Single(2048));
    SetFormat(driver, kASIOPCMFormat);

    // The host's own size wins once buffers exist, and the setting again once they are gone.
    ASSERT_EQ(Create(512), ASE_OK);
    EXPECT_EQ(SizesOf(driver), Single(512));
    StoreDword(128); // a change meanwhile does not move the buffers in use
    EXPECT_EQ(SizesOf(driver), Single(512));
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(SizesOf(driver), Single(128));

    // A failed createBuffers leaves no buffers: the setting again.
    ASIOBufferInfo bad = {ASIOFalse, 5, {}};
    ASSERT_EQ(driver->createBuffers(&bad, 1, 256, &recorder.callbacks), ASE_InvalidParameter);
    EXPECT_EQ(SizesOf(driver), Single(128));

    StoreDword(48);
    EXPECT_EQ(SizesOf(driver), Single(1024));
    sim::RegistrySetString(HKEY_CURRENT_USER, kKey, u"BufferSize", u"64");
    EXPECT_EQ(SizesOf(driver), Single(1024));
}

TEST_F(BufferSizeHost, DsdBuffersOfTheSettingHoldItsFrameCount) {
    StoreDword(32);
    SetFormat(driver, kASIODSDFormat);
    const Sizes sizes = SizesOf(driver);
    ASSERT_EQ(sizes, Single(1024));
    ASIOBufferInfo info = {ASIOFalse, 0, {}};
    ASSERT_EQ(driver->createBuffers(&info, 1, sizes.preferred, &recorder.callbacks), ASE_OK);
    EXPECT_EQ(static_cast<int32_t*>(info.buffers[1]) - static_cast<int32_t*>(info.buffers[0]), 32);
    EXPECT_EQ(SizesOf(driver), Single(1024));
}

TEST_F(BufferSizeHost, OkWithoutBuffersStoresTheSizeAndTellsNoOne) {
    EXPECT_EQ(Larkspur()->ApplyPanelBufferSize(256), ERROR_SUCCESS);
    EXPECT_EQ(ReadBufferSizeSetting().frames, 256);
    EXPECT_EQ(SizesOf(driver), Single(256));
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(BufferSizeHost, OkWithBuffersAsksTheHostToResetOncePerChange) {
    ASSERT_EQ(Create(1024), ASE_OK);
    recorder.messages.clear();

    // The size in force stays: no reset.
    EXPECT_EQ(Larkspur()->ApplyPanelBufferSize(1024), ERROR_SUCCESS);
    EXPECT_TRUE(recorder.messages.empty());

    EXPECT_EQ(Larkspur()->ApplyPanelBufferSize(64), ERROR_SUCCESS);
    EXPECT_EQ(recorder.messages, (std::basic_string<int32_t>{kAsioResetRequest, kAsioLatenciesChanged}));
    // The host has not reset yet: OK again with the same size asks nothing more.
    EXPECT_EQ(Larkspur()->ApplyPanelBufferSize(64), ERROR_SUCCESS);
    EXPECT_EQ(Count(kAsioResetRequest), 1);
    EXPECT_EQ(SizesOf(driver), Single(1024)); // the buffers in use

    // The host resets: the new size.
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(SizesOf(driver), Single(64));
    ASSERT_EQ(Create(64), ASE_OK);
    recorder.messages.clear();
    EXPECT_EQ(Larkspur()->ApplyPanelBufferSize(2048), ERROR_SUCCESS);
    EXPECT_EQ(Count(kAsioResetRequest), 1);
    EXPECT_EQ(Count(kAsioLatenciesChanged), 1);
}

TEST_F(BufferSizeHost, OkThatCannotStoreChangesNothing) {
    ASSERT_EQ(Create(1024), ASE_OK);
    recorder.messages.clear();
    EXPECT_EQ(Larkspur()->ApplyPanelBufferSize(100), ERROR_INVALID_PARAMETER);
    sim::DenyRegistryWrites(HKEY_CURRENT_USER, true);
    EXPECT_EQ(Larkspur()->ApplyPanelBufferSize(64), ERROR_ACCESS_DENIED);
    sim::DenyRegistryWrites(HKEY_CURRENT_USER, false);
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_EQ(ReadBufferSizeSetting().source, BufferSizeSource::Missing);
}

// A host that tears down at once inside the reset request, and one that releases the driver there.
IASIO* g_resettingDriver = nullptr;
bool g_releaseOnReset = false;
int g_latencyMessages = 0;

int32_t ResettingHostMessage(int32_t selector, int32_t, void*, double*) {
    if (selector == kAsioResetRequest && g_resettingDriver) {
        g_resettingDriver->disposeBuffers();
        if (g_releaseOnReset) {
            g_resettingDriver->Release();
            g_resettingDriver = nullptr;
        }
    }
    if (selector == kAsioLatenciesChanged)
        ++g_latencyMessages;
    return 0;
}

TEST_F(BufferSizeHost, AHostMayDisposeOrReleaseInsideTheResetRequest) {
    for (bool release : {false, true}) {
        IASIO* local = CreateDriver();
        ASSERT_NE(local, nullptr);
        ASIOCallbacks callbacks = recorder.callbacks;
        callbacks.asioMessage = &ResettingHostMessage;
        ASIOBufferInfo info = {ASIOFalse, 0, {}};
        ASSERT_EQ(local->createBuffers(&info, 1, 1024, &callbacks), ASE_OK);
        g_resettingDriver = local;
        g_releaseOnReset = release;
        g_latencyMessages = 0;
        const int32_t size = release ? 128 : 64;
        EXPECT_EQ(static_cast<ASIOLarkspur*>(local)->ApplyPanelBufferSize(size), ERROR_SUCCESS);
        EXPECT_EQ(g_latencyMessages, 1);
        if (!release) {
            EXPECT_EQ(SizesOf(local), Single(64));
            EXPECT_EQ(local->Release(), 0u);
        }
        EXPECT_EQ(g_resettingDriver, release ? nullptr : local);
        g_resettingDriver = nullptr;
    }
}

TEST_F(BufferSizeHost, PanelFactsDescribeTheDriverNow) {
    StoreDword(512);
    ControlPanelFacts facts;
    Larkspur()->GetPanelFacts(&facts);
    EXPECT_FALSE(facts.connected); // init was not called
    // Rates are answered from the bound device.
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASSERT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    Larkspur()->GetPanelFacts(&facts);
    EXPECT_STREQ(facts.driverName, "Larkspur ASIO 1.03");
    EXPECT_EQ(facts.driverVersion, 2);
    EXPECT_TRUE(facts.connected);
    EXPECT_EQ(facts.sampleRate, 96000.0);
    EXPECT_FALSE(facts.dsd);
    EXPECT_EQ(facts.settingFrames, 512);
    ASSERT_EQ(facts.choiceCount, 7);
    EXPECT_EQ(facts.choices[0], 32);
    EXPECT_EQ(facts.choices[6], 2048);
    EXPECT_DOUBLE_EQ(facts.choiceMilliseconds[4], 512000.0 / 96000.0);
    SetFormat(driver, kASIODSDFormat);
    ASSERT_EQ(driver->setSampleRate(2822400.0), ASE_OK);
    Larkspur()->GetPanelFacts(&facts);
    EXPECT_TRUE(facts.dsd);
    EXPECT_DOUBLE_EQ(facts.choiceMilliseconds[5], 32.0 * 1024000.0 / 2822400.0);
}

} // namespace
