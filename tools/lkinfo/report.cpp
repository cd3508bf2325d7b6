#include "tools/lkinfo/report.h"

#include "tools/common/asio_names.h"

#include <iterator>

namespace lkinfo {

using lktool::AsioErrorName;
using lktool::SampleTypeName;

namespace {

// The rates hosts offer: the 44.1 kHz and 48 kHz families up to 768 kHz, and DSD64 to DSD512 of both.
constexpr double kPcmRates[] = {44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000, 705600, 768000};
struct DsdRate {
    const char* name;
    double rate;
};
constexpr DsdRate kDsdRates[] = {{"DSD64", 2822400},   {"DSD64", 3072000},   {"DSD128", 5644800},
                                 {"DSD128", 6144000},  {"DSD256", 11289600}, {"DSD256", 12288000},
                                 {"DSD512", 22579200}, {"DSD512", 24576000}};

// Prints the listed rates the driver says the device runs at now; returns the first of them, or 0.
double PrintRates(IASIO* driver, std::FILE* out, bool dsd) {
    std::string taken;
    double first = 0;
    ASIOError refusal = ASE_OK;
    const size_t count = dsd ? std::size(kDsdRates) : std::size(kPcmRates);
    for (size_t i = 0; i < count; ++i) {
        const double rate = dsd ? kDsdRates[i].rate : kPcmRates[i];
        const ASIOError answer = driver->canSampleRate(rate);
        if (answer != ASE_OK) {
            refusal = answer;
            continue;
        }
        first = first == 0 ? rate : first;
        char entry[48];
        if (dsd)
            std::snprintf(entry, sizeof entry, " %.0f (%s)", rate, kDsdRates[i].name);
        else
            std::snprintf(entry, sizeof entry, " %.0f", rate);
        taken += entry;
    }
    if (!taken.empty())
        std::fprintf(out, "  sample rates    %s Hz\n", taken.c_str());
    else if (refusal == ASE_NotPresent)
        std::fprintf(out, "  sample rates     none: no device is bound\n");
    else
        std::fprintf(out, "  sample rates     none of the usual rates (%s)\n", AsioErrorName(refusal));
    return first;
}

void PrintLatencies(IASIO* driver, std::FILE* out) {
    int32_t inputLatency = 0, outputLatency = 0;
    ASIOSampleRate rate = 0;
    driver->getSampleRate(&rate);
    const ASIOError result = driver->getLatencies(&inputLatency, &outputLatency);
    if (result != ASE_OK) {
        std::fprintf(out, "  latencies        %s\n", AsioErrorName(result));
        return;
    }
    std::fprintf(out, "  latencies        input %d, output %d samples at %.0f Hz\n", inputLatency,
                 outputLatency, rate);
    // The output side beyond the half in flight: the safety buffers and the device's own share.
    ASIOInternalBufferInfo held{};
    if (driver->future(kAsioGetInternalBufferSamples, &held) == ASE_SUCCESS && rate > 0)
        std::fprintf(out, "  output latency   %.2f ms: one buffer + %d samples held\n",
                     1000.0 * outputLatency / rate, held.outputSamples);
}

void PrintChannels(IASIO* driver, std::FILE* out, const char* mode) {
    int32_t inputs = 0, outputs = 0;
    driver->getChannels(&inputs, &outputs);
    int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    std::fprintf(out, "\n%s mode\n", mode);
    std::fprintf(out, "  buffer size      min %d, max %d, preferred %d, granularity %d samples\n", minSize,
                 maxSize, preferred, granularity);
    for (int input = 1; input >= 0; --input) {
        const int32_t count = input ? inputs : outputs;
        for (int32_t channel = 0; channel < count; ++channel) {
            ASIOChannelInfo info{};
            info.channel = channel;
            info.isInput = input ? ASIOTrue : ASIOFalse;
            const ASIOError result = driver->getChannelInfo(&info);
            if (result != ASE_OK) {
                std::fprintf(out, "  %-6s %d         %s\n", input ? "input" : "output", channel,
                             AsioErrorName(result));
                continue;
            }
            std::fprintf(out, "  %-6s %d  name \"%s\", group %d, %s, type %d %s\n",
                         input ? "input" : "output", channel, info.name, info.channelGroup,
                         info.isActive ? "active" : "inactive", info.type, SampleTypeName(info.type));
        }
    }
}

void SetFormat(IASIO* driver, ASIOIoFormatType type) {
    ASIOIoFormat format{};
    format.FormatType = type;
    driver->future(kAsioSetIoFormat, &format);
}

} // namespace

ASIOBool PrintReport(IASIO* driver, std::FILE* out, const std::string& renderPins,
                     const std::string& bufferSizeSource, const std::string& safetySource) {
    char name[32] = {};
    driver->getDriverName(name);
    std::fprintf(out, "Driver           %s (version %d)\n", name, driver->getDriverVersion());

    const ASIOBool initialised = driver->init(nullptr);
    char error[128] = {};
    driver->getErrorMessage(error);
    if (initialised)
        std::fprintf(out, "init             succeeded: the device is bound\n");
    else
        std::fprintf(out, "init             failed: %s\n", error[0] ? error : "(no error text)");
    if (!renderPins.empty())
        std::fprintf(out, "\nRender pins, as the device reports them\n%s\n", renderPins.c_str());

    int32_t inputs = 0, outputs = 0;
    driver->getChannels(&inputs, &outputs);
    std::fprintf(out, "Channels         %d in / %d out\n", inputs, outputs);
    ASIOSampleRate rate = 0;
    driver->getSampleRate(&rate);
    std::fprintf(out, "Sample rate      %.0f Hz\n", rate);

    ASIOClockSource clocks[4] = {};
    int32_t clockCount = 4;
    if (driver->getClockSources(clocks, &clockCount) == ASE_OK) {
        for (int32_t i = 0; i < clockCount && i < 4; ++i)
            std::fprintf(out, "Clock source %d   \"%s\"%s\n", clocks[i].index, clocks[i].name,
                         clocks[i].isCurrentSource ? " (current)" : "");
    }

    int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    if (!bufferSizeSource.empty())
        std::fprintf(out, "Buffer size      %d samples, %s\n", preferred, bufferSizeSource.c_str());
    if (!safetySource.empty())
        std::fprintf(out, "Safety buffers   %s\n", safetySource.c_str());

    PrintChannels(driver, out, "PCM");
    PrintRates(driver, out, false);
    PrintLatencies(driver, out);

    SetFormat(driver, kASIODSDFormat);
    PrintChannels(driver, out, "DSD");
    // Latencies follow the rate: show them at the first DSD rate the device takes.
    if (const double dsdRate = PrintRates(driver, out, true); dsdRate != 0)
        driver->setSampleRate(dsdRate);
    PrintLatencies(driver, out);
    SetFormat(driver, kASIOPCMFormat);
    driver->setSampleRate(rate);
    return initialised;
}

} // namespace lkinfo
