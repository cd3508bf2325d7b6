// The host's side of a period: the switch's position and time, and the callbacks the render thread makes.
#include "asio/asio_larkspur.h"

namespace {

// The lower 32 bits of a non-negative value, or 0 when it has none to give.
uint32_t Low32(double value) {
    if (!(value >= 0.0) || !(value < 18446744073709551616.0))
        return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(value));
}

} // namespace

void StampSystemTime(ASIOTimeStamp* stamp) {
    const double nanoseconds = timeGetTime() * 1000000.0;
    stamp->hi = static_cast<uint32_t>(nanoseconds * (1.0 / 4294967296.0));
    stamp->lo = static_cast<uint32_t>(nanoseconds - stamp->hi * 4294967296.0);
}

void ASIOLarkspur::PublishSwitch(uint64_t position, ASIOTimeStamp stamp) {
    // Sequentially consistent throughout: a reader that saw the same even count before and after its
    // reads has read one switch's pair. Once per period, so the cost does not matter.
    const uint32_t sequence = m_positionSequence.load();
    m_positionSequence.store(sequence + 1);
    m_switchPosition.store(position);
    m_periodTimeStamp.store(stamp);
    m_positionSequence.store(sequence + 2);
}

void ASIOLarkspur::SwitchWithTimeInfo(ASIOCallbacks* callbacks, int32_t index) {
    AsioTimeInfo& info = m_asioTime.timeInfo;
    const uint64_t position = m_switchPosition.load(std::memory_order_relaxed);
    info.samplePosition.hi = static_cast<uint32_t>(position >> 32);
    info.samplePosition.lo = static_cast<uint32_t>(position);
    info.systemTime = m_periodTimeStamp.load(std::memory_order_relaxed);
    if (m_timeCodeRead.load(std::memory_order_relaxed)) {
        // The time code runs ten minutes' worth of samples ahead of the position.
        ASIOSamples& code = m_asioTime.timeCode.timeCodeSamples;
        code.hi = 0;
        code.lo = Low32(static_cast<double>(info.samplePosition.lo) + m_sampleRate.load() * 600.0);
    }
    if (callbacks->bufferSwitchTimeInfo)
        callbacks->bufferSwitchTimeInfo(&m_asioTime, index, ASIOFalse);
    std::atomic_ref<uint32_t>(info.flags)
        .fetch_and(~static_cast<uint32_t>(kSampleRateChanged | kClockSourceChanged));
}

void ASIOLarkspur::BufferSwitch(uint64_t period, int32_t index) {
    ASIOCallbacks* callbacks = m_callbacks.load();
    if (!m_running.load() || !callbacks)
        return;
    // The k-th switch after start stands at k buffers, whatever the device reports.
    ASIOTimeStamp stamp;
    StampSystemTime(&stamp);
    PublishSwitch(period * m_streamBufferSamples, stamp);
    if (m_timeInfoMode)
        SwitchWithTimeInfo(callbacks, index);
    else if (callbacks->bufferSwitch)
        callbacks->bufferSwitch(index, ASIOFalse);
}

void ASIOLarkspur::Message(int32_t selector) {
    ASIOCallbacks* callbacks = m_callbacks.load();
    if (callbacks && callbacks->asioMessage)
        callbacks->asioMessage(selector, 0, nullptr, nullptr);
}
