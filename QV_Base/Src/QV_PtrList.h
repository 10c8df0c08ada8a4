// PtrList: a doubly linked list of object pointers whose nodes come from pooled Plex
// blocks, handed out in address order, reused last-in first-out and all released when
// the list becomes empty. The list never owns the objects it points to.
#pragma once

#include <cstdint>

#include "QV_Base/Src/QV_Plex.h"

namespace zbbase {

inline constexpr int32_t kDefaultBlockSize = 10;

template <typename T>
class PtrList {
 public:
  struct ListNode {
    ListNode* next;  // in a free node: the link of the free list
    ListNode* prev;
    T* value;
  };

  explicit PtrList(int32_t blockSize = kDefaultBlockSize) : m_nBlockSize(blockSize) {}
  ~PtrList() { RemoveAll(); }
  PtrList(const PtrList&) = delete;
  PtrList& operator=(const PtrList&) = delete;

  ListNode* AddTail(T* value) {
    ListNode* node = NewNode(m_pTail, nullptr);
    node->value = value;
    if (m_pTail != nullptr) {
      m_pTail->next = node;
    } else {
      m_pHead = node;
    }
    m_pTail = node;
    return node;
  }

  ListNode* Find(const T* value) const {
    for (ListNode* node = m_pHead; node != nullptr; node = node->next) {
      if (node->value == value) return node;
    }
    return nullptr;
  }

  // `node` must belong to this list.
  void RemoveAt(ListNode* node) {
    if (node == m_pHead) {
      m_pHead = node->next;
    } else {
      node->prev->next = node->next;
    }
    if (node == m_pTail) {
      m_pTail = node->prev;
    } else {
      node->next->prev = node->prev;
    }
    FreeNode(node);
  }

  void RemoveAll() {
    m_pHead = nullptr;
    m_pTail = nullptr;
    m_nCount = 0;
    m_pFreeList = nullptr;
    Plex::FreeChainAt(m_pBlocks);
    m_pBlocks = nullptr;
  }

  ListNode* head() const { return m_pHead; }
  ListNode* tail() const { return m_pTail; }
  int32_t count() const { return m_nCount; }
  int32_t blockSize() const { return m_nBlockSize; }
  // Number of node blocks held; 0 whenever the list is empty.
  int32_t BlockCount() const { return Plex::CountChain(m_pBlocks); }

 private:
  ListNode* NewNode(ListNode* prev, ListNode* next) {
    if (m_pFreeList == nullptr) GrowFreeList(m_pBlocks, m_nBlockSize, m_pFreeList);
    ListNode* node = m_pFreeList;
    m_pFreeList = node->next;
    node->prev = prev;
    node->next = next;
    ++m_nCount;
    node->value = nullptr;
    return node;
  }

  void FreeNode(ListNode* node) {
    node->next = m_pFreeList;
    m_pFreeList = node;
    if (--m_nCount == 0) RemoveAll();
  }

  ListNode* m_pHead = nullptr;
  ListNode* m_pTail = nullptr;
  int32_t m_nCount = 0;
  ListNode* m_pFreeList = nullptr;
  Plex* m_pBlocks = nullptr;
  int32_t m_nBlockSize;
};

}  // namespace zbbase
