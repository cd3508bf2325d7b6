// Attaching the model to a loaded driver DLL: its import address table entries for the device calls
// are pointed at the model (each original pointer kept, restored on detach while the DLL is still
// loaded), and the C entry points through which a host reads what the device received.
#include "lkmodel/lkmodel.h"
#include "lkmodel/model_state.h"
#include "lkmodel/request_check.h"
#include "sim/larkspur/device.h"

#include <cstring>
#include <mutex>
#include <vector>

namespace lkmodel {
namespace {

struct Patch {
    void** slot;
    void* original;
};

std::mutex g_mutex;
HMODULE g_driver = nullptr;
std::vector<Patch> g_patches;

bool IsLoaded(HMODULE module) {
    HMODULE found = nullptr;
    return module &&
           ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                    GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                reinterpret_cast<LPCWSTR>(module), &found) &&
           found == module;
}

bool WriteSlot(void** slot, void* value) {
    DWORD old = 0;
    if (!::VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old))
        return false;
    *slot = value;
    DWORD ignored = 0;
    ::VirtualProtect(slot, sizeof *slot, old, &ignored);
    return true;
}

// Rewrites the import entries that have a replacement; returns LKMODEL_OK or an error code.
int PatchImports(HMODULE module, std::vector<Patch>* patches) {
    BYTE* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return LKMODEL_NOT_LOADED;
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        return LKMODEL_NOT_LOADED;
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return LKMODEL_NO_DEVICE_IMPORTS;
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         import->Name != 0; ++import) {
        const char* dll = reinterpret_cast<const char*>(base + import->Name);
        const DWORD namesRva = import->OriginalFirstThunk ? import->OriginalFirstThunk : import->FirstThunk;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + namesRva);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            void* replacement = Replacement(dll, reinterpret_cast<const char*>(byName->Name));
            if (!replacement)
                continue;
            void** slot = reinterpret_cast<void**>(&slots->u1.Function);
            void* original = *slot;
            if (!WriteSlot(slot, replacement)) {
                for (const Patch& patch : *patches)
                    WriteSlot(patch.slot, patch.original);
                patches->clear();
                return LKMODEL_PATCH_FAILED;
            }
            patches->push_back({slot, original});
        }
    }
    return patches->empty() ? LKMODEL_NO_DEVICE_IMPORTS : LKMODEL_OK;
}

} // namespace
} // namespace lkmodel

using namespace lkmodel;

extern "C" int lkmodel_attach(HMODULE driver) {
    std::lock_guard lock(g_mutex);
    if (g_driver)
        return LKMODEL_ALREADY_ATTACHED;
    if (!IsLoaded(driver))
        return LKMODEL_NOT_LOADED;
    std::vector<Patch> patches;
    const int result = PatchImports(driver, &patches);
    if (result != LKMODEL_OK)
        return result;
    g_driver = driver;
    g_patches = std::move(patches);
    return LKMODEL_OK;
}

extern "C" int lkmodel_detach(void) {
    std::lock_guard lock(g_mutex);
    if (!g_driver)
        return LKMODEL_NOT_ATTACHED;
    // An unloaded DLL took its import table with it: nothing to restore then.
    if (IsLoaded(g_driver))
        for (const Patch& patch : g_patches)
            WriteSlot(patch.slot, patch.original);
    g_patches.clear();
    g_driver = nullptr;
    return LKMODEL_OK;
}

extern "C" void lkmodel_set_fault(int fault) {
    switch (fault) {
    case LKMODEL_FAULT_UNPLUG:
        SetFault(Fault::Unplug);
        break;
    case LKMODEL_FAULT_STALL:
        SetFault(Fault::Stall);
        break;
    case LKMODEL_FAULT_PEND_FAIL:
        SetFault(Fault::PendFail);
        break;
    case LKMODEL_FAULT_REFUSE:
        SetFault(Fault::Refuse);
        break;
    default:
        SetFault(Fault::None);
        break;
    }
}

extern "C" size_t lkmodel_received_audio(void* out, size_t bytes) {
    const std::vector<BYTE> audio = sim::larkspur::DefaultDevice()->Audio();
    if (out && bytes)
        std::memcpy(out, audio.data(), bytes < audio.size() ? bytes : audio.size());
    return audio.size();
}

extern "C" size_t lkmodel_received_modes(uint32_t* out, size_t count) {
    const std::vector<ULONG> modes = sim::larkspur::DefaultDevice()->ModeCodes();
    for (size_t i = 0; out && i < count && i < modes.size(); ++i)
        out[i] = modes[i];
    return modes.size();
}

extern "C" void lkmodel_clear_record(void) {
    sim::larkspur::DefaultDevice()->ClearRecord();
    ClearWriteSizes();
}

extern "C" size_t lkmodel_received_writes(size_t* smallest, size_t* largest) {
    return WriteSizes(smallest, largest);
}

extern "C" size_t lkmodel_most_pending_writes(void) {
    return sim::larkspur::DefaultDevice()->MostPendingWrites();
}

extern "C" void lkmodel_underruns(size_t* streaming, size_t* drain) {
    const sim::larkspur::StreamStats stats = sim::larkspur::DefaultDevice()->LatestStreamStats();
    if (streaming)
        *streaming = static_cast<size_t>(stats.underrunsStreaming);
    if (drain)
        *drain = static_cast<size_t>(stats.underrunsDrain);
}

extern "C" size_t lkmodel_requests_checked(void) {
    return RequestsChecked();
}

extern "C" size_t lkmodel_requests_refused(void) {
    return RequestsRefused();
}

extern "C" size_t lkmodel_open_handles(void) {
    return ModelHandleCount();
}

extern "C" size_t lkmodel_open_pins(void) {
    return sim::larkspur::DefaultDevice()->OpenPins();
}

extern "C" size_t lkmodel_cancel_calls(void) {
    return CancelCalls();
}
