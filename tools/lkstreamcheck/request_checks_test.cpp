// The model's request checks must refuse each kind of wrong request a driver fault would send, with
// the error the system gives, and pass the right one: otherwise "0 refused" would prove nothing.
#include "lkmodel/request_check.h"
#include "tools/lkstreamcheck/checks.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace lkcheck {
namespace {

using lkmodel::Target;

constexpr DWORD kErrorSetNotFound = 1170;
constexpr DWORD kErrorInvalidUserBuffer = 1784;
constexpr DWORD kVendorSetMode = 0x2F200C;

void Expect(const char* what, DWORD got, DWORD wanted) {
    Check(std::string("the model's checks: ") + what, got == wanted,
          "answered " + std::to_string(got) + ", expected " + std::to_string(wanted));
}

KSP_PIN PinRequest(ULONG id) {
    KSP_PIN request{};
    request.Property.Set = GUID{STATIC_KSPROPSETID_Pin};
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    return request;
}

// A connect request as the driver builds it: KSPIN_CONNECT, KSDATAFORMAT, WAVEFORMATEXTENSIBLE.
struct Connect {
    KSPIN_CONNECT connect;
    KSDATAFORMAT format;
    WAVEFORMATEXTENSIBLE wave;
};
static_assert(sizeof(Connect) == 72 + 64 + 40);

Connect GoodConnect() {
    Connect c{};
    c.connect.Interface.Set = GUID{STATIC_KSINTERFACESETID_Standard};
    c.connect.Medium.Set = GUID{STATIC_KSMEDIUMSETID_Standard};
    c.connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    c.connect.Priority.PrioritySubClass = 1;
    c.format.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE);
    c.format.SampleSize = 8;
    c.format.MajorFormat = GUID{STATIC_KSDATAFORMAT_TYPE_AUDIO};
    c.format.SubFormat = GUID{STATIC_KSDATAFORMAT_SUBTYPE_PCM};
    c.format.Specifier = GUID{STATIC_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX};
    c.wave.Format = {WAVE_FORMAT_EXTENSIBLE, 2, 44100, 176400, 4, 32, 22};
    c.wave.Samples.wValidBitsPerSample = 32;
    c.wave.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    c.wave.SubFormat = GUID{STATIC_KSDATAFORMAT_SUBTYPE_PCM};
    return c;
}

DWORD Property(Target target, const void* request, DWORD size, void* value = nullptr, DWORD valueSize = 0) {
    return lkmodel::CheckIoControl(target, IOCTL_KS_PROPERTY, request, size, value, valueSize, nullptr);
}

} // namespace

void CheckTheChecks() {
    Step("the model's request checks");
    const size_t refusedBefore = lkmodel::RequestsRefused();
    lkmodel::PrintRefusals(false);

    KSP_PIN pin = PinRequest(KSPROPERTY_PIN_DATARANGES);
    Expect("a data-range read passes", Property(Target::Filter, &pin, sizeof pin), ERROR_SUCCESS);
    pin.Property.Set.Data4[7] ^= 1;
    Expect("a property set one byte off is refused", Property(Target::Filter, &pin, sizeof pin),
           kErrorSetNotFound);
    KSPROPERTY topology{};
    topology.Set = GUID{STATIC_KSPROPSETID_TopologyNode};
    topology.Id = KSPROPERTY_TOPOLOGY_NODES;
    topology.Flags = KSPROPERTY_TYPE_GET;
    Expect("the topology-node set in place of the topology set is refused",
           Property(Target::Filter, &topology, sizeof topology), kErrorSetNotFound);
    pin = PinRequest(KSPROPERTY_PIN_DATAFLOW);
    pin.Property.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;
    Expect("get and set at once are refused", Property(Target::Filter, &pin, sizeof pin),
           ERROR_INVALID_PARAMETER);
    pin = PinRequest(KSPROPERTY_PIN_DATAFLOW);
    Expect("a pin property without its pin id is refused", Property(Target::Filter, &pin, sizeof(KSPROPERTY)),
           ERROR_INVALID_PARAMETER);

    KSPROPERTY state{};
    state.Set = GUID{STATIC_KSPROPSETID_Connection};
    state.Id = KSPROPERTY_CONNECTION_STATE;
    state.Flags = KSPROPERTY_TYPE_SET;
    ULONGLONG wide = KSSTATE_RUN;
    Expect("a state of 8 bytes is refused", Property(Target::Pin, &state, sizeof state, &wide, sizeof wide),
           ERROR_INVALID_PARAMETER);
    KSPROPERTY position{};
    position.Set = GUID{STATIC_KSPROPSETID_Audio};
    position.Id = KSPROPERTY_AUDIO_POSITION;
    position.Flags = KSPROPERTY_TYPE_GET;
    KSAUDIO_POSITION value{};
    Expect("a position read on the filter is refused",
           Property(Target::Filter, &position, sizeof position, &value, sizeof value),
           ERROR_INVALID_FUNCTION);
    Expect("an unknown control code is refused",
           lkmodel::CheckIoControl(Target::Pin, 0x2F4017, nullptr, 0, nullptr, 0, nullptr),
           ERROR_INVALID_FUNCTION);

    KSSTREAM_HEADER header{};
    header.Size = sizeof header - 8;
    OVERLAPPED overlapped{};
    overlapped.hEvent = reinterpret_cast<HANDLE>(0x100);
    Expect("a stream header of the wrong size is refused",
           lkmodel::CheckIoControl(Target::Pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &header, sizeof header,
                                   &overlapped),
           ERROR_INVALID_PARAMETER);
    header.Size = sizeof header;
    Expect("a write without an OVERLAPPED is refused",
           lkmodel::CheckIoControl(Target::Pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &header, sizeof header,
                                   nullptr),
           ERROR_INVALID_PARAMETER);

    BYTE mode[264] = {0x00, 0x00, 0x01, 0x00};
    Expect("the vendor request passes",
           lkmodel::CheckIoControl(Target::Pin, kVendorSetMode, mode, sizeof mode, nullptr, 0, nullptr),
           ERROR_SUCCESS);
    Expect("a short vendor request is refused",
           lkmodel::CheckIoControl(Target::Pin, kVendorSetMode, mode, 256, nullptr, 0, nullptr),
           ERROR_INVALID_PARAMETER);
    mode[4] = 1;
    Expect("a vendor request with bytes 4-7 set is refused",
           lkmodel::CheckIoControl(Target::Pin, kVendorSetMode, mode, sizeof mode, nullptr, 0, nullptr),
           ERROR_INVALID_PARAMETER);

    const ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE;
    Connect connect = GoodConnect();
    Expect("the driver's connect request passes", lkmodel::CheckConnect(&connect, access), ERROR_SUCCESS);
    Expect("a connect request for reading only is refused", lkmodel::CheckConnect(&connect, GENERIC_READ),
           ERROR_ACCESS_DENIED);
    connect.format.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
    Expect("a format size without the extensible part is refused", lkmodel::CheckConnect(&connect, access),
           ERROR_INVALID_PARAMETER);
    connect = GoodConnect();
    connect.wave.SubFormat = GUID{STATIC_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT};
    Expect("a float subformat is refused", lkmodel::CheckConnect(&connect, access), ERROR_NO_MATCH);
    connect = GoodConnect();
    connect.connect.Interface.Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
    Expect("the looped interface is refused", lkmodel::CheckConnect(&connect, access), ERROR_NO_MATCH);
    connect = GoodConnect();
    connect.wave.Format.nAvgBytesPerSec = 44100 * 8;
    Expect("a byte rate that does not follow the sample rate is refused",
           lkmodel::CheckConnect(&connect, access), ERROR_NO_MATCH);

    Expect("a device opened without FILE_FLAG_OVERLAPPED is refused",
           lkmodel::CheckCreateFile(access, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL), ERROR_INVALID_PARAMETER);
    const GUID render = {STATIC_KSCATEGORY_RENDER};
    Expect("a device list of the render category is refused",
           lkmodel::CheckClassDevs(&render, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), ERROR_INVALID_PARAMETER);
    const GUID audio = {STATIC_KSCATEGORY_AUDIO};
    Expect("a device list without DIGCF_PRESENT is refused",
           lkmodel::CheckClassDevs(&audio, DIGCF_DEVICEINTERFACE), ERROR_INVALID_FLAGS);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = 28; // the 32-bit layout
    Expect("a 32-bit SP_DEVICE_INTERFACE_DATA is refused",
           lkmodel::CheckInterfaceData("SetupDiEnumDeviceInterfaces", &data), kErrorInvalidUserBuffer);
    DWORD detail[2] = {6, 0}; // the 32-bit detail record's cbSize
    Expect("a 32-bit detail record is refused",
           lkmodel::CheckDetailData("SetupDiGetDeviceInterfaceDetailW", detail), kErrorInvalidUserBuffer);

    lkmodel::PrintRefusals(true);
    std::printf("the model's checks refused %zu wrong requests\n",
                lkmodel::RequestsRefused() - refusedBefore);
}

} // namespace lkcheck
