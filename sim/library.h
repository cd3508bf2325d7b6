// Library loading of the simulated Windows: ksuser.dll in the system directory with its KsCreatePin,
// and libraries a test plants in the host's directory, which a default search finds first.
#pragma once

#include "platform/platform.h"

#include <string>
#include <vector>

namespace sim {

// ksuser.dll's KsCreatePin: asks the filter behind `filter` for a pin and puts the pin in the handle table.
DWORD WINAPI KsCreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin);

// A library of this name in the host's directory. Its KsCreatePin only counts its calls and fails.
void PlantLibraryBesideHost(const std::u16string& name);
void RemovePlantedLibraries();
// Calls into code of a planted library.
size_t PlantedCodeCalls();

struct LibraryLoad {
    std::u16string name;
    DWORD flags;
    bool fromSystem; // false: the planted copy beside the host
};
// Successful loads, in order.
std::vector<LibraryLoad> LibraryLoads();
// Libraries loaded right now (reference counts above zero).
size_t LoadedLibraryCount();

} // namespace sim
