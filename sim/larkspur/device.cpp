#include "sim/larkspur/device.h"

#include "sim/larkspur/targets.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace sim::larkspur {

std::shared_ptr<Device> Device::Create(Clock clock, FilterDescriptor descriptor) {
    return std::shared_ptr<Device>(new Device(clock, std::move(descriptor)));
}

Device::Device(Clock clock, FilterDescriptor descriptor)
    : m_descriptor(std::move(descriptor)), m_snapshot(std::make_shared<FilterDescriptor>(m_descriptor)),
      m_clock(clock) {
    // Mode and state records may be written from the driver's render thread: keep room in advance.
    m_events.reserve(1024);
}

FilterDescriptor Device::Descriptor() const {
    std::lock_guard lock(m_mutex);
    return m_descriptor;
}

void Device::SetDescriptor(FilterDescriptor descriptor) {
    std::lock_guard lock(m_mutex);
    m_descriptor = std::move(descriptor);
    m_snapshot = std::make_shared<FilterDescriptor>(m_descriptor);
}

std::shared_ptr<const FilterDescriptor> Device::DescriptorSnapshot() const {
    std::lock_guard lock(m_mutex);
    return m_snapshot;
}

void Device::ChangeDescriptor(const std::function<void(FilterDescriptor&)>& change) {
    std::lock_guard lock(m_mutex);
    change(m_descriptor);
    m_snapshot = std::make_shared<FilterDescriptor>(m_descriptor);
}

void Device::SetClock(Clock clock) {
    std::lock_guard lock(m_mutex);
    m_clock = clock;
}

void Device::SetSizeQueryError(DWORD error) {
    m_sizeQueryError = error;
}

void Device::SetPendingProperties(bool pending) {
    m_pendingProperties = pending;
}

void Device::SetFault(Fault fault) {
    {
        std::lock_guard lock(m_faultMutex);
        m_faultDelayMs.store(fault.delayMs);
        m_replugDelayMs.store(fault.kind == FaultKind::Unplug ? fault.replugDelayMs : 0);
        m_faultKind.store(static_cast<int>(fault.kind));
        m_unplugged.store(false);
        m_replugAt.reset();
    }
    m_faultHung.store(false);
    m_hung.store(false);
}

Fault Device::CurrentFault() const {
    return {static_cast<FaultKind>(m_faultKind.load()), m_faultDelayMs.load(), m_replugDelayMs.load()};
}

void Device::UpdateUnplugLocked(std::chrono::steady_clock::time_point now) const {
    if (!m_unplugged.load() && m_faultKind.load() == static_cast<int>(FaultKind::Unplug) && m_runSince &&
        now >= *m_runSince + std::chrono::milliseconds(m_faultDelayMs.load())) {
        m_unplugged.store(true);
        ++m_unplugs;
        if (const unsigned replug = m_replugDelayMs.load())
            m_replugAt = *m_runSince + std::chrono::milliseconds(replug);
    }
    if (m_unplugged.load() && m_replugAt && now >= *m_replugAt) {
        // Back for good: the unplug is spent, so the new pin's start does not strike again.
        m_unplugged.store(false);
        m_faultKind.store(static_cast<int>(FaultKind::None));
        m_replugAt.reset();
    }
}

bool Device::Unplugged() const {
    if (!m_unplugged.load() && m_faultKind.load() != static_cast<int>(FaultKind::Unplug))
        return false;
    std::lock_guard lock(m_faultMutex);
    UpdateUnplugLocked(std::chrono::steady_clock::now());
    return m_unplugged.load();
}

void Device::Unplug() {
    std::lock_guard lock(m_faultMutex);
    if (!m_unplugged.exchange(true))
        ++m_unplugs;
    m_replugAt.reset();
}

void Device::Replug() {
    std::lock_guard lock(m_faultMutex);
    m_unplugged.store(false);
    m_replugAt.reset();
    if (m_faultKind.load() == static_cast<int>(FaultKind::Unplug))
        m_faultKind.store(static_cast<int>(FaultKind::None));
}

unsigned Device::Unplugs() const {
    Unplugged(); // counts an unplug whose time has come
    return m_unplugs.load();
}

void Device::RunStarted(const void* pin, std::chrono::steady_clock::time_point at) {
    std::lock_guard lock(m_faultMutex);
    UpdateUnplugLocked(at);
    m_runningPin = pin;
    m_runSince = at;
}

void Device::RunStopped(const void* pin) {
    std::lock_guard lock(m_faultMutex);
    UpdateUnplugLocked(std::chrono::steady_clock::now());
    if (m_runningPin == pin) {
        m_runningPin = nullptr;
        m_runSince.reset();
    }
}

DWORD Device::SizeQueryError() const {
    return m_sizeQueryError;
}

bool Device::PendingProperties() const {
    return m_pendingProperties;
}

void Device::SetHung(bool hung) {
    m_hung = hung;
}

bool Device::IsHung() const {
    return m_hung.load();
}

void Device::SetCancelIgnored(bool ignored) {
    m_cancelIgnored = ignored;
}

size_t Device::HeldRequests() const {
    std::lock_guard lock(m_mutex);
    return m_held.size();
}

size_t Device::ReleaseHeld() {
    std::vector<Held> held;
    {
        std::lock_guard lock(m_mutex);
        held.swap(m_held);
    }
    for (const Held& request : held)
        sim::CompleteOverlapped(request.overlapped, kErrorOperationAborted, 0);
    return held.size();
}

bool Device::Hold(const void* target, OVERLAPPED* overlapped) {
    if (!m_hung.load() || !overlapped)
        return false;
    std::lock_guard lock(m_mutex);
    m_held.push_back({target, overlapped});
    return true;
}

bool Device::CancelHeld(const void* target, OVERLAPPED* overlapped) {
    std::vector<Held> cancelled;
    {
        std::lock_guard lock(m_mutex);
        for (const Held& request : m_held)
            if (request.target == target && (!overlapped || request.overlapped == overlapped))
                cancelled.push_back(request);
        if (cancelled.empty())
            return false;
        if (m_cancelIgnored.load())
            return true;
        std::erase_if(m_held, [&](const Held& request) {
            return request.target == target && (!overlapped || request.overlapped == overlapped);
        });
    }
    for (const Held& request : cancelled)
        sim::CompleteOverlapped(request.overlapped, kErrorOperationAborted, 0);
    return true;
}

DWORD Device::Answer(DWORD status, DWORD bytes, OVERLAPPED* overlapped) const {
    if (overlapped && PendingProperties()) {
        sim::CompleteOverlapped(overlapped, status, bytes);
        return ERROR_IO_PENDING;
    }
    return status;
}

std::shared_ptr<sim::IoTarget> Device::OpenFilter() {
    return std::make_shared<FilterTarget>(shared_from_this());
}

HANDLE Device::OpenFilterHandle() {
    return sim::InsertObject(OpenFilter());
}

std::vector<std::shared_ptr<PinTarget>> Device::LivePins() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::shared_ptr<PinTarget>> pins;
    for (const auto& weak : m_pins)
        if (auto pin = weak.lock())
            pins.push_back(std::move(pin));
    return pins;
}

size_t Device::PendingWrites() const {
    size_t count = 0;
    for (const auto& pin : LivePins())
        count += pin->PendingWrites();
    return count;
}

size_t Device::CompleteWrites(size_t count) {
    size_t done = 0;
    for (const auto& pin : LivePins())
        while (done < count && pin->CompleteOne())
            ++done;
    return done;
}

size_t Device::RunDry() {
    size_t done = 0;
    for (const auto& pin : LivePins())
        done += pin->RunDry();
    return done;
}

bool Device::WaitForPendingWrites(size_t count, unsigned timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (PendingWrites() < count) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<RecordEvent> Device::Events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
}

std::vector<ULONG> Device::ModeCodes() const {
    std::vector<ULONG> codes;
    for (const RecordEvent& e : Events())
        if (e.kind == RecordEvent::Mode)
            codes.push_back(e.value);
    return codes;
}

std::vector<KSSTATE> Device::States() const {
    std::vector<KSSTATE> states;
    for (const RecordEvent& e : Events())
        if (e.kind == RecordEvent::State)
            states.push_back(static_cast<KSSTATE>(e.value));
    return states;
}

std::vector<BYTE> Device::Audio() const {
    std::lock_guard lock(m_mutex);
    return m_audio;
}

void Device::ClearRecord() {
    std::lock_guard lock(m_mutex);
    m_events.clear();
    m_audio.clear();
    m_writePackets = 0;
    m_cancelledWrites = 0;
}

void Device::SetAudioRecording(bool on) {
    std::lock_guard lock(m_mutex);
    m_recordAudio = on;
    m_audio.clear();
    m_audio.shrink_to_fit();
}

size_t Device::TakeAudio(void* out, size_t size) {
    std::lock_guard lock(m_mutex);
    const size_t taken = std::min(size, m_audio.size()) / 8 * 8;
    if (taken > 0) {
        std::memcpy(out, m_audio.data(), taken);
        m_audio.erase(m_audio.begin(), m_audio.begin() + static_cast<std::ptrdiff_t>(taken));
    }
    return taken;
}

void Device::SetFifoMicroseconds(uint32_t microseconds) {
    std::lock_guard lock(m_mutex);
    m_fifoMicroseconds = microseconds;
}

uint32_t Device::FifoMicroseconds() const {
    std::lock_guard lock(m_mutex);
    return m_fifoMicroseconds;
}

StreamStats Device::LatestStreamStats() const {
    std::shared_ptr<PinTarget> pin;
    {
        std::lock_guard lock(m_mutex);
        pin = m_latestPin.lock();
        if (!pin)
            return m_closedStreamStats;
    }
    return pin->Stats();
}

void Device::KeepStreamStats(const PinTarget* pin, const StreamStats& stats, size_t mostPending,
                             const int64_t* leaveTimes, size_t leaveCount) {
    std::lock_guard lock(m_mutex);
    if (pin != m_latestPinAddress)
        return;
    m_closedStreamStats = stats;
    m_closedMostPending = mostPending;
    m_closedLeaveCount = std::min(leaveCount, m_closedLeaveTimes.size());
    std::copy(leaveTimes, leaveTimes + m_closedLeaveCount, m_closedLeaveTimes.begin());
}

size_t Device::MostPendingWrites() const {
    std::shared_ptr<PinTarget> pin;
    {
        std::lock_guard lock(m_mutex);
        pin = m_latestPin.lock();
        if (!pin)
            return m_closedMostPending;
    }
    return pin->MostPendingWrites();
}

size_t Device::FirstFrameLeaveTimes(int64_t* out, size_t count) const {
    std::shared_ptr<PinTarget> pin;
    {
        std::lock_guard lock(m_mutex);
        pin = m_latestPin.lock();
        if (!pin) {
            if (out)
                std::copy_n(m_closedLeaveTimes.begin(), std::min(count, m_closedLeaveCount), out);
            return m_closedLeaveCount;
        }
    }
    return pin->FirstFrameLeaveTimes(out, count);
}

size_t Device::OpenPins() const {
    std::lock_guard lock(m_mutex);
    size_t count = 0;
    for (ULONG live : m_liveInstances)
        count += live;
    return count;
}

bool Device::LatestConnect(WAVEFORMATEXTENSIBLE* format, ULONG* interfaceId) const {
    std::lock_guard lock(m_mutex);
    if (format)
        *format = m_latestFormat;
    if (interfaceId)
        *interfaceId = m_latestInterface;
    return m_anyConnect;
}

void Device::RecordMode(ULONG mode) {
    if (mode == kModeDsd)
        m_dsd = true;
    else if (mode == kModePcm)
        m_dsd = false;
    std::lock_guard lock(m_mutex);
    m_events.push_back({RecordEvent::Mode, mode});
}

void Device::RecordState(KSSTATE state) {
    std::lock_guard lock(m_mutex);
    m_events.push_back({RecordEvent::State, static_cast<ULONG>(state)});
}

void Device::RecordAudio(const void* data, ULONG bytes) {
    if (!data || bytes == 0 || !m_recordAudio.load(std::memory_order_relaxed))
        return;
    const BYTE* in = static_cast<const BYTE*>(data);
    std::lock_guard lock(m_mutex);
    if (!m_recordAudio)
        return;
    const size_t start = m_audio.size();
    m_audio.insert(m_audio.end(), in, in + bytes);
    if (m_dsd) {
        // The host's DSD words arrive byte-swapped; keep them as the host wrote them.
        for (size_t i = start; i + 4 <= m_audio.size(); i += 4) {
            std::swap(m_audio[i], m_audio[i + 3]);
            std::swap(m_audio[i + 1], m_audio[i + 2]);
        }
    }
}

void Device::ReleaseInstance(ULONG pinId) {
    std::lock_guard lock(m_mutex);
    if (pinId < m_liveInstances.size() && m_liveInstances[pinId] > 0)
        --m_liveInstances[pinId];
}

namespace {

bool Admits(const std::vector<BYTE>& bytes, const WAVEFORMATEX& format) {
    if (bytes.size() < sizeof(KSDATARANGE_AUDIO))
        return false;
    KSDATARANGE_AUDIO range;
    std::memcpy(&range, bytes.data(), sizeof range);
    if (range.DataRange.FormatSize < sizeof range)
        return false;
    auto matches = [](const GUID& value, const GUID& wanted) {
        return value == GUID_NULL || value == wanted;
    };
    return matches(range.DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
           matches(range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM) &&
           matches(range.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) && format.nChannels >= 1 &&
           format.nChannels <= range.MaximumChannels && format.wBitsPerSample >= range.MinimumBitsPerSample &&
           format.wBitsPerSample <= range.MaximumBitsPerSample &&
           format.nSamplesPerSec >= range.MinimumSampleFrequency &&
           format.nSamplesPerSec <= range.MaximumSampleFrequency;
}

bool Lists(const std::vector<KSIDENTIFIER>& list, const KSIDENTIFIER& wanted) {
    for (const KSIDENTIFIER& entry : list)
        if (entry.Set == wanted.Set && entry.Id == wanted.Id)
            return true;
    return false;
}

} // namespace

DWORD Device::CreatePin(const KSPIN_CONNECT* connect, ACCESS_MASK access,
                        std::shared_ptr<sim::IoTarget>* pin) {
    if (!connect || !pin)
        return ERROR_INVALID_PARAMETER;
    KSPIN_CONNECT request;
    std::memcpy(&request, connect, sizeof request);
    KSDATAFORMAT dataFormat;
    std::memcpy(&dataFormat, connect + 1, sizeof dataFormat);

    if (Unplugged())
        return kErrorDeviceNotConnected;
    if (FaultHung())
        return kErrorSemTimeout;
    std::unique_lock lock(m_mutex);
    if (request.PinId >= m_descriptor.pins.size())
        return ERROR_INVALID_PARAMETER;
    const PinDescriptor& described = m_descriptor.pins[request.PinId];
    if (described.communication != KSPIN_COMMUNICATION_SINK &&
        described.communication != KSPIN_COMMUNICATION_SOURCE &&
        described.communication != KSPIN_COMMUNICATION_BOTH)
        return kErrorInvalidFunction;
    if (described.dataFlow == KSPIN_DATAFLOW_IN && !(access & GENERIC_WRITE))
        return ERROR_ACCESS_DENIED;
    // The standard interface and medium, as far as the pin offers them (its default: streaming, any
    // instance).
    if (request.Interface.Set != KSINTERFACESETID_Standard || !Lists(described.interfaces, request.Interface))
        return kErrorNoMatch;
    if (request.Medium.Set != KSMEDIUMSETID_Standard || !Lists(described.mediums, request.Medium))
        return kErrorNoMatch;

    // The data format: audio, PCM, described by a WAVEFORMATEX(TENSIBLE) that lies inside FormatSize.
    if (dataFormat.FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX))
        return ERROR_INVALID_PARAMETER;
    if (dataFormat.MajorFormat != KSDATAFORMAT_TYPE_AUDIO ||
        dataFormat.SubFormat != KSDATAFORMAT_SUBTYPE_PCM ||
        dataFormat.Specifier != KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)
        return kErrorNoMatch;
    const BYTE* waveBytes = reinterpret_cast<const BYTE*>(connect + 1) + sizeof(KSDATAFORMAT);
    WAVEFORMATEXTENSIBLE wave{};
    std::memcpy(&wave, waveBytes, sizeof(WAVEFORMATEX));
    if (wave.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        if (wave.Format.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX) ||
            dataFormat.FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE))
            return ERROR_INVALID_PARAMETER;
        std::memcpy(&wave, waveBytes, sizeof wave);
        if (wave.SubFormat != KSDATAFORMAT_SUBTYPE_PCM)
            return kErrorNoMatch;
    } else if (wave.Format.wFormatTag != WAVE_FORMAT_PCM) {
        return kErrorNoMatch;
    }
    bool admitted = false;
    for (const auto& range : described.dataRanges)
        admitted = admitted || Admits(range, wave.Format);
    if (!admitted)
        return kErrorNoMatch;

    if (m_liveInstances.size() < m_descriptor.pins.size())
        m_liveInstances.resize(m_descriptor.pins.size());
    if (m_liveInstances[request.PinId] >= described.possibleInstances)
        return kErrorNoSystemResources;
    ++m_liveInstances[request.PinId];
    m_latestFormat = wave;
    m_latestInterface = request.Interface.Id;
    m_anyConnect = true;
    const Clock clock = m_clock;
    lock.unlock();

    auto created =
        std::make_shared<PinTarget>(shared_from_this(), request.PinId, wave.Format.nSamplesPerSec, clock);
    {
        std::lock_guard relock(m_mutex);
        std::erase_if(m_pins, [](const std::weak_ptr<PinTarget>& weak) { return weak.expired(); });
        m_pins.push_back(created);
        m_latestPin = created;
        m_latestPinAddress = created.get();
        m_closedStreamStats = StreamStats{};
        m_closedMostPending = 0;
        m_closedLeaveCount = 0;
    }
    *pin = std::move(created);
    return ERROR_SUCCESS;
}

DWORD ReplyProperty(const Device& device, const void* value, DWORD size, void* out, DWORD outSize,
                    DWORD* returned, OVERLAPPED* overlapped) {
    *returned = size;
    if (outSize == 0 && size != 0)
        return device.Answer(device.SizeQueryError(), size, overlapped);
    if (outSize < size || (size != 0 && !out))
        return device.Answer(ERROR_INSUFFICIENT_BUFFER, size, overlapped);
    if (size != 0)
        std::memcpy(out, value, size);
    return device.Answer(ERROR_SUCCESS, size, overlapped);
}

std::shared_ptr<Device> DefaultDevice() {
    // Never destroyed: hosts may still use it while the process exits.
    static auto* device = [] {
        auto* created = new std::shared_ptr<Device>(Device::Create(Clock::RealTime));
        // A host that loads the driver library can meet a failing device: LKSIM_FAULT=kind@MS.
        Fault fault;
        if (ParseFault(std::getenv("LKSIM_FAULT"), &fault))
            (*created)->SetFault(fault);
        return created;
    }();
    return *device;
}

} // namespace sim::larkspur
