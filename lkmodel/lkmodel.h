/* The Larkspur device model for Windows hosts: attached to a loaded lkasio64.dll by rewriting the
 * DLL's import table entries for its device calls (SetupAPI, CreateFileW, DeviceIoControl,
 * GetOverlappedResult(Ex), CancelIoEx/CancelIo, CloseHandle and the way to KsCreatePin), so that the
 * unmodified driver streams into the model while every other call stays the system's own. Each request
 * is checked against the SDK's layouts, GUIDs and control codes; a wrong one is refused, counted and
 * printed. */
#ifndef LKMODEL_H
#define LKMODEL_H

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    LKMODEL_OK = 0,
    LKMODEL_NOT_LOADED = 1,        /* no module is loaded at that address */
    LKMODEL_ALREADY_ATTACHED = 2,  /* detach first */
    LKMODEL_NO_DEVICE_IMPORTS = 3, /* the module imports none of the device calls */
    LKMODEL_PATCH_FAILED = 4,      /* an import entry could not be made writable */
    LKMODEL_NOT_ATTACHED = 5
};

/* Attach the model to a loaded driver DLL, after it is loaded and before its first device call. */
int lkmodel_attach(HMODULE driver);
/* Restore the import entries (when the DLL is still loaded) and forget the driver; the device and what
 * it recorded stay. */
int lkmodel_detach(void);

/* Ways the device can misbehave, for the failure paths of the driver. */
enum {
    LKMODEL_FAULT_NONE = 0,      /* after an unplug: the device is back, listed and opened again; a pin
                                  * made before the unplug stays dead */
    LKMODEL_FAULT_UNPLUG = 1,    /* gone: every request fails, pending writes complete with an error,
                                  * the device is not listed and its path does not open */
    LKMODEL_FAULT_STALL = 2,     /* write completions are held back until cancelled or closed */
    LKMODEL_FAULT_PEND_FAIL = 3, /* property reads and sets pend, then fail */
    LKMODEL_FAULT_REFUSE = 4     /* write requests fail at once (ERROR_NOT_READY) */
};
void lkmodel_set_fault(int fault);

/* What the device received: interleaved 8-byte frames (DSD words in the host's byte order), the vendor
 * mode codes in order. Each returns the full count and copies what fits. */
size_t lkmodel_received_audio(void* out, size_t bytes);
size_t lkmodel_received_modes(uint32_t* out, size_t count);
void lkmodel_clear_record(void);

/* Write-stream requests the device took since the record was cleared, and the smallest and largest
 * number of bytes one of them carried (0 when there was none). */
size_t lkmodel_received_writes(size_t* smallest, size_t* largest);

/* Of the latest stream (the latest pin created, kept after it closed): the largest number of writes
 * pending at the device at once, and the times its buffer ran empty before the next write arrived,
 * while the host streamed and after the driver's stream end (either pointer may be null). */
size_t lkmodel_most_pending_writes(void);
void lkmodel_underruns(size_t* streaming, size_t* drain);

/* Requests checked against the SDK's definitions, and those refused. */
size_t lkmodel_requests_checked(void);
size_t lkmodel_requests_refused(void);
/* Model handles (filters, pins, device information sets) open right now; pins created and not closed. */
size_t lkmodel_open_handles(void);
size_t lkmodel_open_pins(void);
/* CancelIoEx / CancelIo calls on model handles. */
size_t lkmodel_cancel_calls(void);

#ifdef __cplusplus
}
#endif

#endif
