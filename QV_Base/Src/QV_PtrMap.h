// PtrMap: a hash map from object address to a value record stored by value, with
// pooled nodes like PtrList. The bucket of a key is (address >> 4) mod bucketCount;
// a lookup that walks past the 30th node of a chain warns on standard output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "QV_Base/Src/QV_Plex.h"
#include "QV_Base/Src/QV_PtrList.h"

namespace zbbase {

inline constexpr uint32_t kDefaultBucketCount = 17;
inline constexpr int kReasonableChainLength = 30;
inline constexpr char kUnreasonableHashKey[] = "warning: unreasonable hash key!\r\n";

inline uint32_t HashKey(const void* key, uint32_t bucketCount) {
  return (static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key)) >> 4) % bucketCount;
}

template <typename Value>
class PtrMap {
  static_assert(std::is_trivially_copyable<Value>::value, "values are copied as bytes");

 public:
  struct MapNode {
    MapNode* next;  // in a free node: the link of the free list
    uint32_t bucketIndex;
    const void* key;
    Value value;
  };

  PtrMap() = default;
  ~PtrMap() { RemoveAll(); }
  PtrMap(const PtrMap&) = delete;
  PtrMap& operator=(const PtrMap&) = delete;

  // Called only while the map has no bucket array; entries would otherwise be lost.
  void InitHashTable(uint32_t bucketCount, bool allocNow) {
    delete[] m_pBuckets;
    m_pBuckets = nullptr;
    if (allocNow) m_pBuckets = new MapNode*[bucketCount]();
    m_nBucketCount = bucketCount;
  }

  Value* Lookup(const void* key) const {
    uint32_t bucket = 0;
    MapNode* node = GetAssocAt(key, bucket);
    return node != nullptr ? &node->value : nullptr;
  }

  Value& GetOrInsert(const void* key) {
    uint32_t bucket = 0;
    if (MapNode* node = GetAssocAt(key, bucket)) return node->value;
    if (m_pBuckets == nullptr) InitHashTable(m_nBucketCount, true);
    MapNode* node = NewAssoc();
    node->bucketIndex = bucket;
    node->key = key;
    node->next = m_pBuckets[bucket];
    m_pBuckets[bucket] = node;
    return node->value;
  }

  void SetAt(const void* key, const Value& value) {
    Value& slot = GetOrInsert(key);
    std::memcpy(&slot, &value, sizeof(Value));
  }

  bool RemoveKey(const void* key) {
    if (m_pBuckets == nullptr) return false;
    MapNode** link = &m_pBuckets[HashKey(key, m_nBucketCount)];
    for (MapNode* node = *link; node != nullptr; node = *link) {
      if (node->key == key) {
        *link = node->next;
        FreeAssoc(node);
        return true;
      }
      link = &node->next;
    }
    return false;
  }

  void RemoveAll() {
    delete[] m_pBuckets;
    m_pBuckets = nullptr;
    m_nCount = 0;
    m_pFreeList = nullptr;
    Plex::FreeChainAt(m_pBlocks);
    m_pBlocks = nullptr;
  }

  int32_t count() const { return m_nCount; }
  uint32_t bucketCount() const { return m_nBucketCount; }
  bool HasBuckets() const { return m_pBuckets != nullptr; }
  int32_t BlockCount() const { return Plex::CountChain(m_pBlocks); }

 private:
  MapNode* GetAssocAt(const void* key, uint32_t& bucket) const {
    bucket = HashKey(key, m_nBucketCount);
    if (m_pBuckets == nullptr) return nullptr;
    int visited = 0;
    for (MapNode* node = m_pBuckets[bucket]; node != nullptr; node = node->next) {
      if (++visited > kReasonableChainLength) std::printf("%s", kUnreasonableHashKey);
      if (node->key == key) return node;
    }
    return nullptr;
  }

  MapNode* NewAssoc() {
    if (m_pFreeList == nullptr) GrowFreeList(m_pBlocks, m_nBlockSize, m_pFreeList);
    MapNode* node = m_pFreeList;
    m_pFreeList = node->next;
    ++m_nCount;
    node->key = nullptr;
    std::memset(&node->value, 0, sizeof(Value));
    return node;
  }

  void FreeAssoc(MapNode* node) {
    node->next = m_pFreeList;
    m_pFreeList = node;
    if (--m_nCount == 0) RemoveAll();
  }

  MapNode** m_pBuckets = nullptr;
  uint32_t m_nBucketCount = kDefaultBucketCount;
  int32_t m_nCount = 0;
  MapNode* m_pFreeList = nullptr;
  Plex* m_pBlocks = nullptr;
  int32_t m_nBlockSize = kDefaultBlockSize;
};

}  // namespace zbbase
