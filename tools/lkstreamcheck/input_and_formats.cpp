// Two things real hosts do that the plain streams do not: a stream with input buffers only (level
// meters, recorders), and I/O format values that name no format.
#include "lkmodel/lkmodel.h"
#include "tools/lkstreamcheck/checks.h"
#include "tools/lkstreamcheck/host.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace lkcheck {
namespace {

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency{};
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / frequency.QuadPart;
}

// The mode's silence only, and some of it: the render pin plays while the host records.
bool AllSilence(const std::vector<uint8_t>& received, uint32_t silence) {
    if (received.empty() || received.size() % 4 != 0)
        return false;
    for (size_t at = 0; at < received.size(); at += 4) {
        uint32_t word = 0;
        std::memcpy(&word, &received[at], 4);
        if (word != silence)
            return false;
    }
    return true;
}

ASIOIoFormatType CurrentFormat(IASIO* driver) {
    ASIOIoFormat format{};
    format.FormatType = -2;
    driver->future(kAsioGetIoFormat, &format);
    return format.FormatType;
}

} // namespace

bool PlayInputOnly(IASIO* driver, const StreamPlan& plan) {
    const std::string name = std::string(plan.name) + ", inputs only";
    ASIOIoFormat format{};
    format.FormatType = plan.dsd ? kASIODSDFormat : kASIOPCMFormat;
    bool ok = Check(name + ": I/O format selected", driver->future(kAsioSetIoFormat, &format) == ASE_SUCCESS);
    ok = Check(name + ": sample rate set", driver->setSampleRate(plan.rate) == ASE_OK) && ok;
    if (!Check(name + ": createBuffers with two inputs and no output", CreateInputs(driver) == ASE_OK))
        return false;
    lkmodel_clear_record();
    PrepareStart(plan.periods);
    LARGE_INTEGER started{}, ended{};
    ::QueryPerformanceCounter(&started);
    const ASIOError result = driver->start();
    char text[64] = {};
    if (result != ASE_OK)
        driver->getErrorMessage(text);
    ok = Check(name + ": start answers ASE_OK", result == ASE_OK,
               "start returned " + std::to_string(result) + ": " + text) &&
         ok;
    const bool played = result == ASE_OK && ::WaitForSingleObject(g_host.done, 10000) == WAIT_OBJECT_0;
    ::QueryPerformanceCounter(&ended);
    // The first switch comes at once; the others one period apart.
    const double period = g_host.samples / plan.rate;
    const double took = Seconds(started, ended);
    const double least = 0.5 * (plan.periods - 1) * period;
    const double most = 2.0 * plan.periods * period + 0.2;
    char pace[120];
    std::snprintf(pace, sizeof pace, "%d switches in %.0f ms, expected %.0f to %.0f ms",
                  g_host.switches.load(), took * 1000, least * 1000, most * 1000);
    ok = Check(name + ": " + std::to_string(plan.periods) + " buffer switches at the stream's pace",
               played && took >= least && took <= most, pace) &&
         ok;
    ok = Check(name + ": stop", driver->stop() == ASE_OK) && ok;
    ok = Check(name + ": every input half the host was handed is silent", g_host.noisyInputs.load() == 0,
               std::to_string(g_host.noisyInputs.load()) + " were not") &&
         ok;
    ok = Check(name + ": indices alternate from 0, positions one buffer apart",
               g_host.indexFaults.load() == 0 && g_host.positionFaults.load() == 0) &&
         ok;
    ok = Check(name + ": disposeBuffers", driver->disposeBuffers() == ASE_OK) && ok;
    std::vector<uint8_t> received(lkmodel_received_audio(nullptr, 0));
    lkmodel_received_audio(received.data(), received.size());
    ok = Check(name + ": the device played the mode's silence meanwhile",
               AllSilence(received, g_host.silence), std::to_string(received.size()) + " bytes received") &&
         ok;
    return Check(name + ": the pin is closed", lkmodel_open_pins() == 0) && ok;
}

void CheckIoFormats(IASIO* driver) {
    Step("I/O formats");
    ASIOIoFormat format{};
    for (ASIOIoFormatType type : {kASIOPCMFormat, kASIODSDFormat}) {
        format.FormatType = type;
        Check("kAsioCanDoIoFormat " + std::to_string(type) + " answers ASE_SUCCESS",
              driver->future(kAsioCanDoIoFormat, &format) == ASE_SUCCESS);
    }
    for (ASIOIoFormatType current : {kASIODSDFormat, kASIOPCMFormat}) {
        format.FormatType = current;
        driver->future(kAsioSetIoFormat, &format);
        for (ASIOIoFormatType type : {-1, 2, 7}) {
            const std::string what =
                "format " + std::to_string(type) + " (in " + std::to_string(current) + ")";
            format.FormatType = type;
            const ASIOError canDo = driver->future(kAsioCanDoIoFormat, &format);
            Check(what + ": kAsioCanDoIoFormat answers ASE_NotPresent", canDo == ASE_NotPresent,
                  "it answers " + std::to_string(canDo));
            format.FormatType = type;
            const ASIOError set = driver->future(kAsioSetIoFormat, &format);
            Check(what + ": kAsioSetIoFormat answers ASE_NotPresent", set == ASE_NotPresent,
                  "it answers " + std::to_string(set));
            Check(what + ": kAsioGetIoFormat still reports " + std::to_string(current),
                  CurrentFormat(driver) == current, "it reports " + std::to_string(CurrentFormat(driver)));
        }
    }
    Check("kAsioCanDoIoFormat and kAsioSetIoFormat refuse a null pointer",
          driver->future(kAsioCanDoIoFormat, nullptr) == ASE_InvalidParameter &&
              driver->future(kAsioSetIoFormat, nullptr) == ASE_InvalidParameter);
}

} // namespace lkcheck
