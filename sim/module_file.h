// The loaded module that holds the driver, as GetModuleHandleW and GetModuleFileNameW report it.
#pragma once

#include <string>

namespace sim {

// Full path of the driver's module file. The default is "lkasio64.dll" in a folder with capitals,
// as an installer leaves it.
void SetModulePath(const std::u16string& path);
void ResetModulePath();
std::u16string ModulePath();

// The path GetModuleFileNameW reports for the process itself (a null module).
std::u16string ProcessPath();

} // namespace sim
