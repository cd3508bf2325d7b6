// Process-wide bookkeeping of the COM server: live objects and server locks decide whether the
// module may be unloaded.
#pragma once

#include "platform/platform.h"

// Number of CBaseObject instances alive; changed only with interlocked operations.
extern LONG volatile g_cActiveObjects;
// Balance of IClassFactory::LockServer calls; used from the host's calling thread only.
extern LONG g_cServerLocks;

class CBaseObject {
public:
    CBaseObject();
    ~CBaseObject();
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;

    static LONG ObjectsActive() { return g_cActiveObjects; }
};
