// The driver as hosts use it, through IASIO only, against a simulated Larkspur with a stepped clock: a
// player setting up PCM and then DSD, a workstation building its rate menu, hosts that misuse
// createBuffers or switch formats mid-stream.
#include "asio/packing.h"
#include "sim/larkspur/device.h"
#include "sim/setupapi.h"
#include "sim/threads.h"
#include "tests/support/host.h"
#include "tests/support/stepped_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <set>
#include <vector>

using namespace testing_support;
using sim::larkspur::Clock;
using sim::larkspur::Device;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr uint32_t kLeftWord = 0x11223344u;
constexpr uint32_t kRightWord = 0x55667788u;

// A host that leaves its buffers as they are and counts what it is told; safe on the render thread.
struct QuietHost {
    static inline std::atomic<int> switches{0};
    static inline std::atomic<int> rateChanges{0};
    static void Switch(int32_t, ASIOBool) { switches.fetch_add(1); }
    static void RateChanged(ASIOSampleRate) { rateChanges.fetch_add(1); }
    static int32_t Message(int32_t, int32_t, void*, double*) { return 0; }
    static ASIOTime* SwitchTimeInfo(ASIOTime* time, int32_t index, ASIOBool direct) {
        Switch(index, direct);
        return time;
    }
    ASIOCallbacks callbacks{&Switch, &RateChanged, &Message, &SwitchTimeInfo};
    QuietHost() {
        switches = 0;
        rateChanges = 0;
    }
};

void FillBlock(const ASIOBufferInfo& info, int32_t frames, uint32_t word) {
    for (void* half : info.buffers)
        for (int32_t j = 0; j < frames; ++j)
            static_cast<uint32_t*>(half)[j] = word;
}

// True when every word of both halves is `word`.
bool BlockHolds(const ASIOBufferInfo& info, int32_t frames, uint32_t word) {
    for (void* half : info.buffers)
        for (int32_t j = 0; j < frames; ++j)
            if (static_cast<const uint32_t*>(half)[j] != word)
                return false;
    return true;
}

// Each test binds the driver by init itself.
class Host : public SteppedDriverTest<QuietHost, false> {
protected:
    ASIOError SetFormat(ASIOIoFormatType type) {
        ASIOIoFormat format{};
        format.FormatType = type;
        return driver->future(kAsioSetIoFormat, &format);
    }
    ASIOIoFormatType Format() {
        ASIOIoFormat format{};
        format.FormatType = kASIOFormatInvalid;
        EXPECT_EQ(driver->future(kAsioGetIoFormat, &format), ASE_SUCCESS);
        return format.FormatType;
    }
    int32_t PreferredSize() {
        int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
        EXPECT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
        return preferred;
    }
    double Rate() {
        ASIOSampleRate rate = 0;
        EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
        return rate;
    }
    bool IsActive(int32_t channel, bool input) { return ChannelActive(driver, channel, input); }

    // Completes `count` writes, one at a time as the render thread sends them.
    void Play(int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(device->WaitForPendingWrites(1, 5000));
            ASSERT_EQ(device->CompleteWrites(1), 1u);
        }
    }
    // Streams output channels 0 and 1 holding kLeftWord and kRightWord, which no switch changes.
    void StartStereo(int32_t frames) {
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        ASSERT_EQ(driver->createBuffers(stereo, 2, frames, &host.callbacks), ASE_OK);
        FillBlock(stereo[0], frames, kLeftWord);
        FillBlock(stereo[1], frames, kRightWord);
        ASSERT_EQ(driver->start(), ASE_OK);
    }
    // What the device received, as 32-bit words (DSD words as the host wrote them).
    std::vector<uint32_t> DeviceWords() {
        const std::vector<BYTE> audio = device->Audio();
        std::vector<uint32_t> words(audio.size() / 4);
        std::memcpy(words.data(), audio.data(), words.size() * 4);
        return words;
    }

    ASIOBufferInfo stereo[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
};

// ---- A player: PCM first, then DSD with the I/O-format selectors and the DSD rate.

using PlayerSetup = Host;

TEST_F(PlayerSetup, PcmThenDsdWithSilentBuffersAndTheStreamFormatTheRateAsked) {
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASSERT_EQ(driver->canSampleRate(96000.0), ASE_OK);
    ASSERT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    EXPECT_EQ(Rate(), 96000.0);
    const int32_t pcmSize = PreferredSize();
    ASIOBufferInfo pcm[3] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}, {ASIOTrue, 0, {}}};
    ASSERT_EQ(driver->createBuffers(pcm, 3, pcmSize, &host.callbacks), ASE_OK);
    // Nothing the host has not written yet is noise: outputs and inputs hold PCM silence.
    for (const ASIOBufferInfo& info : pcm)
        EXPECT_TRUE(BlockHolds(info, pcmSize, 0u));
    ASSERT_EQ(driver->start(), ASE_OK);
    Play(2);
    StopWithDrain();
    WAVEFORMATEXTENSIBLE format{};
    ULONG interfaceId = 0;
    ASSERT_TRUE(device->LatestConnect(&format, &interfaceId));
    EXPECT_EQ(format.Format.nSamplesPerSec, 96000u);
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);

    // DSD the way hosts ask for it: can-do, set, the DSD bit rate, sizes, buffers.
    ASIOIoFormat dsd{};
    dsd.FormatType = kASIODSDFormat;
    EXPECT_EQ(driver->future(kAsioCanDoIoFormat, &dsd), ASE_SUCCESS);
    ASSERT_EQ(SetFormat(kASIODSDFormat), ASE_SUCCESS);
    EXPECT_EQ(Format(), kASIODSDFormat);
    ASSERT_EQ(driver->canSampleRate(5644800.0), ASE_OK);
    ASSERT_EQ(driver->setSampleRate(5644800.0), ASE_OK);
    EXPECT_EQ(Rate(), 5644800.0);
    const int32_t dsdSize = PreferredSize();
    ASSERT_EQ(dsdSize % 32, 0);
    ASIOBufferInfo dsdBuffers[2] = {{ASIOFalse, 1, {}}, {ASIOTrue, 1, {}}};
    ASSERT_EQ(driver->createBuffers(dsdBuffers, 2, dsdSize, &host.callbacks), ASE_OK);
    // DSD silence is the idle pattern; all-zero bits would be a full-scale DC level.
    for (const ASIOBufferInfo& info : dsdBuffers)
        EXPECT_TRUE(BlockHolds(info, dsdSize / 32, kDsdSilenceWord));
    ASIOChannelInfo channel{};
    channel.channel = 1;
    ASSERT_EQ(driver->getChannelInfo(&channel), ASE_OK);
    EXPECT_EQ(channel.type, ASIOSTDSDInt8MSB1);
    EXPECT_EQ(channel.isActive, ASIOTrue);

    device->ClearRecord();
    ASSERT_EQ(driver->start(), ASE_OK);
    Play(2);
    StopWithDrain();
    ASSERT_TRUE(device->LatestConnect(&format, &interfaceId));
    EXPECT_EQ(format.Format.nSamplesPerSec, 88200u); // DSD128 carried at a 64th of its bit rate
    // A host that never wrote its buffers played silence, never zeros.
    for (uint32_t word : DeviceWords())
        ASSERT_EQ(word, kDsdSilenceWord);
}

TEST_F(PlayerSetup, OutputsFollowTheirChannelWhateverTheRecordOrder) {
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    constexpr int32_t kFrames = 64;
    ASIOBufferInfo infos[4] = {{ASIOTrue, 1, {}}, {ASIOFalse, 1, {}}, {ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
    ASSERT_EQ(driver->createBuffers(infos, 4, kFrames, &host.callbacks), ASE_OK);
    FillBlock(infos[3], kFrames, kLeftWord);
    FillBlock(infos[1], kFrames, kRightWord);
    ASSERT_EQ(driver->start(), ASE_OK);
    Play(4);
    StopWithDrain();

    const std::vector<uint32_t> words = DeviceWords();
    size_t played = 0;
    for (size_t i = 0; i + 1 < words.size(); i += 2) {
        if (words[i] == 0 && words[i + 1] == 0)
            continue; // the drain's silence
        ASSERT_EQ(words[i], kLeftWord) << "frame " << i / 2;
        ASSERT_EQ(words[i + 1], kRightWord) << "frame " << i / 2;
        ++played;
    }
    EXPECT_GE(played, static_cast<size_t>(kFrames));
}

TEST_F(PlayerSetup, OneOutputFeedsBothWordsWhateverItsChannel) {
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    constexpr int32_t kFrames = 32;
    ASIOBufferInfo info{ASIOFalse, 1, {}};
    ASSERT_EQ(driver->createBuffers(&info, 1, kFrames, &host.callbacks), ASE_OK);
    FillBlock(info, kFrames, kRightWord);
    ASSERT_EQ(driver->start(), ASE_OK);
    Play(3);
    StopWithDrain();
    size_t played = 0;
    for (uint32_t word : DeviceWords()) {
        ASSERT_TRUE(word == kRightWord || word == 0u) << std::hex << word;
        played += word == kRightWord ? 1 : 0;
    }
    EXPECT_GE(played, 2u * kFrames);
}

// ---- A workstation: its rate menu from canSampleRate, and setSampleRate from that menu.

using RateMenu = Host;

const double kPcmRates[] = {8000,  11025,  16000,  22050,  32000,  44100,  48000,  88200,
                            96000, 176400, 192000, 352800, 384000, 705600, 768000, 1536000};
const double kDsdRates[] = {2822400, 3072000, 5644800, 6144000, 11289600, 12288000, 22579200, 24576000};

std::vector<double> Menu(IASIO* driver, const double* rates, size_t count) {
    std::vector<double> menu;
    for (size_t i = 0; i < count; ++i) {
        const ASIOError answer = driver->canSampleRate(rates[i]);
        EXPECT_TRUE(answer == ASE_OK || answer == ASE_NoClock) << rates[i] << " gave " << answer;
        if (answer == ASE_OK)
            menu.push_back(rates[i]);
    }
    return menu;
}

TEST_F(RateMenu, FollowsTheRenderPinsRangesInEachMode) {
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(
        Menu(driver, kPcmRates, std::size(kPcmRates)),
        (std::vector<double>{44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000, 705600, 768000}));
    ASSERT_EQ(SetFormat(kASIODSDFormat), ASE_SUCCESS);
    // DSD64 to DSD512 travel at 44.1 kHz to 384 kHz: all within the pin's range.
    EXPECT_EQ(Menu(driver, kDsdRates, std::size(kDsdRates)),
              std::vector<double>(std::begin(kDsdRates), std::end(kDsdRates)));
    // A PCM rate is no DSD rate: 44100 / 64 is no whole rate, 48000 / 64 is below the range.
    EXPECT_EQ(driver->canSampleRate(44100.0), ASE_NoClock);
    EXPECT_EQ(driver->canSampleRate(48000.0), ASE_NoClock);
    EXPECT_EQ(driver->canSampleRate(64.0 * 768000), ASE_OK);
    EXPECT_EQ(driver->canSampleRate(64.0 * 768001), ASE_NoClock);

    // A device that takes less: the menu shrinks with it after the next init.
    device->ChangeDescriptor([](sim::larkspur::FilterDescriptor& descriptor) {
        descriptor.pins[0].dataRanges = {sim::larkspur::AudioDataRange(2, 32, 32, 44100, 96000)};
    });
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(Menu(driver, kDsdRates, std::size(kDsdRates)),
              (std::vector<double>{2822400, 3072000, 5644800, 6144000}));
    ASSERT_EQ(SetFormat(kASIOPCMFormat), ASE_SUCCESS);
    EXPECT_EQ(Menu(driver, kPcmRates, std::size(kPcmRates)),
              (std::vector<double>{44100, 48000, 88200, 96000}));
}

TEST_F(RateMenu, AnswersForTheFormatStartBuildsNotJustTheRate) {
    // The pin takes these rates, but only in 16 bits: start's 32-bit stream would find no pin.
    device->ChangeDescriptor([](sim::larkspur::FilterDescriptor& descriptor) {
        descriptor.pins[0].dataRanges = {sim::larkspur::AudioDataRange(2, 16, 16, 8000, 768000)};
    });
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_TRUE(Menu(driver, kPcmRates, std::size(kPcmRates)).empty());
    EXPECT_EQ(driver->setSampleRate(48000.0), ASE_NoClock);
}

TEST_F(RateMenu, RefusedRatesChangeNothingAndAnnounceNothing) {
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASIOBufferInfo info{ASIOFalse, 0, {}};
    ASSERT_EQ(driver->createBuffers(&info, 1, 256, &host.callbacks), ASE_OK);
    ASSERT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    const int announced = QuietHost::rateChanges.load();

    for (const double rate : {0.0, -0.0, -48000.0, kNaN, kInfinity, -kInfinity, 48000.5, 44099.999999,
                              std::numeric_limits<double>::denorm_min(), 1e300, 4294967296.0}) {
        EXPECT_EQ(driver->canSampleRate(rate), ASE_NoClock) << rate;
        EXPECT_EQ(driver->setSampleRate(rate), ASE_NoClock) << rate;
        EXPECT_EQ(Rate(), 48000.0) << rate;
    }
    ASSERT_EQ(SetFormat(kASIODSDFormat), ASE_SUCCESS);
    for (const double rate : {2822401.0, 2822400.5, 2822432.0, 44100.0}) {
        EXPECT_EQ(driver->canSampleRate(rate), ASE_NoClock) << rate;
        EXPECT_EQ(driver->setSampleRate(rate), ASE_NoClock) << rate;
    }
    EXPECT_EQ(Rate(), 48000.0);
    EXPECT_EQ(QuietHost::rateChanges.load(), announced);
}

TEST_F(RateMenu, WithoutADeviceNoRateIsPresent) {
    sim::SetDeviceInterfaces({});
    ASSERT_EQ(driver->init(nullptr), ASIOFalse);
    for (const double rate : {44100.0, 48000.0, 2822400.0, 0.0, kNaN}) {
        EXPECT_EQ(driver->canSampleRate(rate), ASE_NotPresent) << rate;
        EXPECT_EQ(driver->setSampleRate(rate), ASE_NotPresent) << rate;
    }
    EXPECT_EQ(Rate(), 44100.0);
}

// ---- Hosts that misuse createBuffers: every refusal keeps what the host had.

using CreateBuffersMisuse = Host;

TEST_F(CreateBuffersMisuse, RefusedCallsKeepTheEarlierBuffersAndSize) {
    constexpr int32_t kFrames = 256;
    ASIOBufferInfo good[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASSERT_EQ(driver->createBuffers(good, 2, kFrames, &host.callbacks), ASE_OK);
    FillBlock(good[0], kFrames, kLeftWord);
    FillBlock(good[1], kFrames, kRightWord);

    struct Case {
        const char* what;
        std::vector<ASIOBufferInfo> records;
        int32_t count;
        int32_t size;
    };
    const std::vector<ASIOBufferInfo> one{{ASIOFalse, 0, {}}};
    const std::vector<Case> cases = {
        {"no channel", one, 0, kFrames},
        {"negative count", one, -1, kFrames},
        {"INT_MIN count", one, INT_MIN, kFrames},
        {"count past the records a host can have", std::vector<ASIOBufferInfo>(5, {ASIOTrue, 0, {}}), 5,
         kFrames},
        {"output 1 twice", {{ASIOFalse, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}}, 3, kFrames},
        {"input 0 twice", {{ASIOTrue, 0, {}}, {ASIOTrue, 0, {}}}, 2, kFrames},
        {"channel 2", {{ASIOFalse, 0, {}}, {ASIOFalse, 2, {}}}, 2, kFrames},
        {"channel -1", {{ASIOTrue, -1, {}}}, 1, kFrames},
        {"channel INT_MAX", {{ASIOTrue, INT_MAX, {}}}, 1, kFrames},
        {"size 0", one, 1, 0},
        {"size -1", one, 1, -1},
        {"size INT_MIN", one, 1, INT_MIN},
        {"size INT_MAX", one, 1, INT_MAX},
        {"size above a ring slot", one, 1, 2049},
    };
    for (Case c : cases) {
        EXPECT_EQ(driver->createBuffers(c.records.data(), c.count, c.size, &host.callbacks),
                  ASE_InvalidParameter)
            << c.what;
        for (const ASIOBufferInfo& record : c.records)
            EXPECT_EQ(record.buffers[0], nullptr) << c.what;
        EXPECT_EQ(PreferredSize(), kFrames) << c.what;
    }
    ASIOBufferInfo record{ASIOFalse, 0, {}};
    EXPECT_EQ(driver->createBuffers(nullptr, 1, kFrames, &host.callbacks), ASE_InvalidParameter);
    EXPECT_EQ(driver->createBuffers(&record, 1, kFrames, nullptr), ASE_InvalidParameter);

    // The earlier buffers are still the host's, with what it wrote (AddressSanitizer sees a freed one).
    EXPECT_TRUE(BlockHolds(good[0], kFrames, kLeftWord));
    EXPECT_TRUE(BlockHolds(good[1], kFrames, kRightWord));
    EXPECT_TRUE(IsActive(0, false));
    EXPECT_TRUE(IsActive(1, false));
    EXPECT_FALSE(IsActive(0, true));
}

TEST_F(CreateBuffersMisuse, DsdSizesMustFillWholeWords) {
    ASSERT_EQ(SetFormat(kASIODSDFormat), ASE_SUCCESS);
    const int32_t before = PreferredSize();
    for (const int32_t size : {104, 100, 33, 31, 1, 0, -32, 65536 + 32, INT_MIN}) {
        ASIOBufferInfo info{ASIOFalse, 0, {}};
        EXPECT_EQ(driver->createBuffers(&info, 1, size, &host.callbacks), ASE_InvalidParameter) << size;
        EXPECT_EQ(info.buffers[0], nullptr) << size;
        EXPECT_EQ(PreferredSize(), before) << size;
    }
    // The smallest and the largest: a host writes size / 8 bytes into each half.
    for (const int32_t size : {32, 96, 65536}) {
        ASIOBufferInfo info{ASIOFalse, 1, {}};
        ASSERT_EQ(driver->createBuffers(&info, 1, size, &host.callbacks), ASE_OK) << size;
        for (void* half : info.buffers)
            std::memset(half, 0x69, static_cast<size_t>(size) / 8);
        EXPECT_EQ(PreferredSize(), size);
    }
}

TEST_F(CreateBuffersMisuse, SizesStayInRangeInDsdAfterARefusedPcmSize) {
    ASIOBufferInfo info{ASIOFalse, 0, {}};
    for (const int32_t size : {INT_MIN, INT_MAX, -1, 0x08000000})
        EXPECT_EQ(driver->createBuffers(&info, 1, size, &host.callbacks), ASE_InvalidParameter) << size;
    ASSERT_EQ(SetFormat(kASIODSDFormat), ASE_SUCCESS);
    int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = -1;
    ASSERT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(minSize, 32768);
    EXPECT_EQ(maxSize, 32768);
    EXPECT_EQ(preferred, 32768);
}

TEST_F(CreateBuffersMisuse, WhileStreamingIsInvalidModeAndTheStreamGoesOn) {
    constexpr int32_t kFrames = 64;
    StartStereo(kFrames);
    Play(1);

    ASIOBufferInfo again[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    EXPECT_EQ(driver->createBuffers(again, 2, 128, &host.callbacks), ASE_InvalidMode);
    EXPECT_EQ(again[0].buffers[0], nullptr);
    EXPECT_EQ(PreferredSize(), kFrames);
    // The stream was not stopped underneath the host: it still plays what it wrote.
    const int before = QuietHost::switches.load();
    Play(2);
    EXPECT_TRUE(WaitUntil([&] { return QuietHost::switches.load() > before; }));
    EXPECT_TRUE(BlockHolds(stereo[0], kFrames, kLeftWord));

    StopWithDrain();
    EXPECT_EQ(driver->createBuffers(again, 2, 128, &host.callbacks), ASE_OK);
    EXPECT_EQ(PreferredSize(), 128);
}

// ---- Formats: switching mode mid-stream, and the silence the buffers hold.

using IoFormat = Host;

TEST_F(IoFormat, AnotherFormatWhileStreamingIsRefusedAndTheDeviceGetsNoForeignSilence) {
    constexpr int32_t kFrames = 32;
    StartStereo(kFrames);
    Play(2);
    EXPECT_EQ(SetFormat(kASIODSDFormat), ASE_InvalidMode);
    EXPECT_EQ(Format(), kASIOPCMFormat);
    EXPECT_EQ(SetFormat(kASIOPCMFormat), ASE_SUCCESS); // the current one again
    Play(2);
    StopWithDrain();
    // PCM audio and PCM silence only: a DSD idle word is a large DC level to a PCM device.
    const std::vector<uint32_t> words = DeviceWords();
    const std::set<uint32_t> seen(words.begin(), words.end());
    EXPECT_EQ(seen, (std::set<uint32_t>{0u, kLeftWord, kRightWord}));
    EXPECT_EQ(SetFormat(kASIODSDFormat), ASE_SUCCESS); // stopped: hosts may switch now
    EXPECT_TRUE(BlockHolds(stereo[0], kFrames, kDsdSilenceWord));
}

TEST_F(IoFormat, PcmWhileDsdStreamsIsRefused) {
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASSERT_EQ(SetFormat(kASIODSDFormat), ASE_SUCCESS);
    ASSERT_EQ(driver->setSampleRate(2822400.0), ASE_OK);
    ASIOBufferInfo info{ASIOFalse, 0, {}};
    ASSERT_EQ(driver->createBuffers(&info, 1, 1024, &host.callbacks), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    Play(2);
    EXPECT_EQ(SetFormat(kASIOPCMFormat), ASE_InvalidMode);
    EXPECT_EQ(SetFormat(7), ASE_NotPresent); // no format at all, streaming or not
    EXPECT_EQ(Format(), kASIODSDFormat);
    StopWithDrain();
    for (uint32_t word : DeviceWords())
        ASSERT_EQ(word, kDsdSilenceWord);
}

TEST_F(IoFormat, SwitchingModeRefillsTheBuffersWithTheNewSilence) {
    constexpr int32_t kFrames = 128;
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOTrue, 1, {}}};
    ASSERT_EQ(driver->createBuffers(infos, 2, kFrames, &host.callbacks), ASE_OK);
    FillBlock(infos[0], kFrames, kLeftWord);
    ASSERT_EQ(SetFormat(kASIODSDFormat), ASE_SUCCESS);
    EXPECT_TRUE(BlockHolds(infos[0], kFrames, kDsdSilenceWord));
    EXPECT_TRUE(BlockHolds(infos[1], kFrames, kDsdSilenceWord));
    FillBlock(infos[0], kFrames, kLeftWord);
    ASSERT_EQ(SetFormat(kASIODSDFormat), ASE_SUCCESS); // no change of mode: the host's data stays
    EXPECT_TRUE(BlockHolds(infos[0], kFrames, kLeftWord));
    ASSERT_EQ(SetFormat(kASIOPCMFormat), ASE_SUCCESS);
    EXPECT_TRUE(BlockHolds(infos[0], kFrames, 0u));
    EXPECT_TRUE(BlockHolds(infos[1], kFrames, 0u));

    // Recreated blocks are silent too, whatever the memory held before (a freed DSD block, say).
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    ASSERT_EQ(driver->createBuffers(infos, 2, kFrames, &host.callbacks), ASE_OK);
    EXPECT_TRUE(BlockHolds(infos[0], kFrames, 0u));
    EXPECT_TRUE(BlockHolds(infos[1], kFrames, 0u));
}

} // namespace
