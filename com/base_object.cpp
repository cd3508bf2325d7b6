#include "com/base_object.h"

LONG volatile g_cActiveObjects = 0;
LONG g_cServerLocks = 0;

CBaseObject::CBaseObject() {
    InterlockedIncrement(&g_cActiveObjects);
}

CBaseObject::~CBaseObject() {
    InterlockedDecrement(&g_cActiveObjects);
}
