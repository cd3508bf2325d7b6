// A doubly linked list of untyped object pointers: grows at the tail, shrinks at the head, is walked
// from head to tail. It owns its nodes only; whoever fills it decides whether the objects are owned.
#pragma once

#include "platform/platform.h"

struct CKsListNode {
    CKsListNode* pNext;
    CKsListNode* pPrev;
    void* pData;
};

class CKsList {
public:
    CKsList() = default;
    CKsList(const CKsList&) = delete;
    CKsList& operator=(const CKsList&) = delete;

    // Kept for its callers' sake: does nothing and succeeds.
    HRESULT Initialize(int flag);
    // The new node, or null when no node could be allocated (the list is then unchanged).
    CKsListNode* AddTail(void* data);
    // TRUE and the first entry in *data; FALSE, writing nothing, when data is null or the list is empty.
    BOOL RemoveHead(void** data);
    CKsListNode* GetHeadPosition() const { return m_pFirst; }
    CKsListNode* GetTailPosition() const { return m_pLast; }
    // TRUE with the entry at *position in *data, advancing the position; FALSE at the end.
    BOOL GetNext(CKsListNode*& position, void** data) const;
    BOOL IsEmpty() const { return m_lCount == 0; }
    LONG GetCount() const { return m_lCount; }

    template <typename T> BOOL RemoveHead(T** data) {
        void* entry = nullptr;
        if (!data || !RemoveHead(&entry))
            return FALSE;
        *data = static_cast<T*>(entry);
        return TRUE;
    }
    template <typename T> BOOL GetNext(CKsListNode*& position, T** data) const {
        void* entry = nullptr;
        if (!GetNext(position, &entry))
            return FALSE;
        *data = static_cast<T*>(entry);
        return TRUE;
    }

private:
    CKsListNode* m_pFirst = nullptr;
    CKsListNode* m_pLast = nullptr;
    LONG m_lCount = 0;
};
