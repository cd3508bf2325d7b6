#include "tools/lkinfo/report.h"

#include "tools/common/asio_names.h"

namespace lkinfo {

using lktool::AsioErrorName;
using lktool::SampleTypeName;

namespace {

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
                     const std::string& bufferSizeSource) {
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
    int32_t inputLatency = 0, outputLatency = 0;
    driver->getLatencies(&inputLatency, &outputLatency);
    std::fprintf(out, "Latencies        input %d, output %d samples\n", inputLatency, outputLatency);
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

    PrintChannels(driver, out, "PCM");
    SetFormat(driver, kASIODSDFormat);
    PrintChannels(driver, out, "DSD");
    SetFormat(driver, kASIOPCMFormat);
    return initialised;
}

} // namespace lkinfo
