// Finds the Larkspur's Kernel Streaming filters among the system's device interfaces.
#pragma once

#include "ks/filter.h"
#include "ks/list.h"

class CKsEnumFilters {
public:
    explicit CKsEnumFilters(HRESULT* result);
    virtual ~CKsEnumFilters();
    CKsEnumFilters(const CKsEnumFilters&) = delete;
    CKsEnumFilters& operator=(const CKsEnumFilters&) = delete;

    virtual HRESULT DestroyLists();

    HRESULT EnumFilters(KsFilterType filterType, const GUID* categories, ULONG categoryCount,
                        BOOL enumeratePins, BOOL enumerateNodes, BOOL instantiate);

    // Owns its filters (CKsFilter or a subclass), in the order the system lists their interfaces.
    CKsList m_listFilters;
};
