#include "tools/common/asio_names.h"

namespace lktool {

const char* AsioErrorName(ASIOError error) {
    switch (error) {
    case ASE_OK:
        return "ASE_OK";
    case ASE_SUCCESS:
        return "ASE_SUCCESS";
    case ASE_NotPresent:
        return "ASE_NotPresent";
    case ASE_HWMalfunction:
        return "ASE_HWMalfunction";
    case ASE_InvalidParameter:
        return "ASE_InvalidParameter";
    case ASE_InvalidMode:
        return "ASE_InvalidMode";
    case ASE_SPNotAdvancing:
        return "ASE_SPNotAdvancing";
    case ASE_NoClock:
        return "ASE_NoClock";
    case ASE_NoMemory:
        return "ASE_NoMemory";
    default:
        return "an unknown ASIO error";
    }
}

const char* SampleTypeName(ASIOSampleType type) {
    switch (type) {
    case ASIOSTInt32LSB:
        return "Int32LSB (32-bit PCM)";
    case ASIOSTDSDInt8LSB1:
        return "DSDInt8LSB1";
    case ASIOSTDSDInt8MSB1:
        return "DSDInt8MSB1 (1-bit DSD, 8 per byte)";
    case ASIOSTDSDInt8NER8:
        return "DSDInt8NER8";
    default:
        return "unknown";
    }
}

} // namespace lktool
