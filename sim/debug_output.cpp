#include "sim/debug_output.h"

#include "platform/platform.h"
#include "sim/text.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace sim {
namespace {

std::mutex g_mutex;
std::vector<std::string> g_messages;
int g_echo = -1; // -1: not yet decided from the environment

} // namespace

std::vector<std::string> DebugOutput() {
    std::lock_guard lock(g_mutex);
    return g_messages;
}

void ClearDebugOutput() {
    std::lock_guard lock(g_mutex);
    g_messages.clear();
}

void EchoDebugOutput(bool on) {
    std::lock_guard lock(g_mutex);
    g_echo = on ? 1 : 0;
}

} // namespace sim

void WINAPI OutputDebugStringW(LPCWSTR text) {
    if (!text)
        return;
    std::string message = sim::ToUtf8(text);
    std::lock_guard lock(sim::g_mutex);
    if (sim::g_echo < 0) {
        const char* env = std::getenv("LKSIM_TRACE_STDERR");
        sim::g_echo = env && *env == '1' ? 1 : 0;
    }
    if (sim::g_echo == 1)
        std::fprintf(stderr, "%s\n", message.c_str());
    sim::g_messages.push_back(std::move(message));
}
