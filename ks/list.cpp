#include "ks/list.h"

#include <new>

HRESULT CKsList::Initialize(int flag) {
    (void)flag;
    return S_OK;
}

CKsListNode* CKsList::AddTail(void* data) {
    CKsListNode* node = new (std::nothrow) CKsListNode;
    if (!node)
        return nullptr;
    node->pNext = nullptr;
    node->pPrev = m_pLast;
    node->pData = data;
    if (m_pLast)
        m_pLast->pNext = node;
    else
        m_pFirst = node;
    ++m_lCount;
    m_pLast = node;
    return node;
}

BOOL CKsList::RemoveHead(void** data) {
    if (!data || !m_pFirst)
        return FALSE;
    CKsListNode* node = m_pFirst;
    *data = node->pData;
    m_pFirst = node->pNext;
    if (m_pFirst)
        m_pFirst->pPrev = nullptr;
    else
        m_pLast = nullptr;
    delete node;
    --m_lCount;
    return TRUE;
}

BOOL CKsList::GetNext(CKsListNode*& position, void** data) const {
    if (!position)
        return FALSE;
    if (data)
        *data = position->pData;
    position = position->pNext;
    return TRUE;
}
