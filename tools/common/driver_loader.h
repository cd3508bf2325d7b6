// Loads the driver library and creates the driver exactly as an ASIO host does: DllGetClassObject for
// the class ID, the class factory, CreateInstance with the class ID as interface ID.
#pragma once

#include "platform/asio.h"

#include <string>

namespace lktool {

class DriverLibrary {
public:
    DriverLibrary() = default;
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    // Loads the library at `path`; false with a message in error() when it cannot.
    bool Load(const std::string& path);
    // A new driver object (one reference, the caller's), or null with a message in error().
    IASIO* CreateDriver();
    // Any other exported function of the library, or null.
    void* Symbol(const char* name) const;
    const std::string& error() const { return m_error; }

private:
    void* m_handle = nullptr;
    std::string m_error;
};

// Where a tool finds the driver by default: $LKASIO_DRIVER, else lkasio64.so beside the tool.
std::string DefaultDriverPath(const char* argv0);

std::string HresultText(HRESULT hr);

} // namespace lktool
