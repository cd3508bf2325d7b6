// How long a host's calls take when the device stops answering mid-stream: run with
// LKSIM_FAULT=hang@300 (scripts/hang_check.sh). Plays for a while, then times getSamplePosition, stop,
// disposeBuffers and the final Release; fails when one of them takes longer than a host can bear.
#include "platform/asio.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

extern "C" HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** object);

namespace {

std::atomic<int> g_switches{0};
std::atomic<int> g_resets{0};

void Switch(int32_t, ASIOBool) {
    g_switches.fetch_add(1);
}
void Rate(ASIOSampleRate) {}
int32_t Message(int32_t selector, int32_t, void*, double*) {
    if (selector == kAsioResetRequest)
        g_resets.fetch_add(1);
    return 0;
}
ASIOTime* TimeInfo(ASIOTime* time, int32_t, ASIOBool) {
    return time;
}
ASIOCallbacks g_callbacks{&Switch, &Rate, &Message, &TimeInfo};

template <typename F> double Milliseconds(F call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    const int playMs = argc > 1 ? std::atoi(argv[1]) : 600;
    IClassFactory* factory = nullptr;
    IASIO* driver = nullptr;
    if (FAILED(
            DllGetClassObject(CLSID_ASIOLarkspur, IID_IClassFactory, reinterpret_cast<void**>(&factory))) ||
        FAILED(factory->CreateInstance(nullptr, CLSID_ASIOLarkspur, reinterpret_cast<void**>(&driver)))) {
        std::puts("no driver");
        return 2;
    }
    factory->Release();
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    if (driver->init(nullptr) != ASIOTrue || driver->createBuffers(infos, 2, 256, &g_callbacks) != ASE_OK ||
        driver->start() != ASE_OK) {
        std::puts("could not start");
        return 2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(playMs));
    const int switches = g_switches.load();

    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    const double positionMs = Milliseconds([&] { driver->getSamplePosition(&position, &stamp); });
    const double stopMs = Milliseconds([&] { driver->stop(); });
    char text[128] = {};
    driver->getErrorMessage(text);
    const double disposeMs = Milliseconds([&] { driver->disposeBuffers(); });
    const double releaseMs = Milliseconds([&] { driver->Release(); });

    std::printf("switches %d, reset requests %d, error \"%s\"\n", switches, g_resets.load(), text);
    std::printf("getSamplePosition %.1f ms, stop %.1f ms, disposeBuffers %.1f ms, Release %.1f ms\n",
                positionMs, stopMs, disposeMs, releaseMs);
    const bool ok = positionMs < 500 && stopMs < 2000 && disposeMs < 2000 && releaseMs < 2000;
    std::puts(ok ? "within bounds" : "TOO SLOW");
    return ok ? 0 : 1;
}
