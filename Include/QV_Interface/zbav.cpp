// Source and sink base classes: connection exchange, delivery and detaching.
#include "Include/QV_Interface/zbav.h"

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
static_assert(offsetof(AvFrame, kind) == 2 && offsetof(AvFrame, info) == 4 &&
                  offsetof(AvFrame, len) == 8 && offsetof(AvFrame, data) == 12,
              "AvFrame field offsets");
static_assert(offsetof(AvFrameInfo, timestamp) == 4 && offsetof(AvFrameInfo, flags) == 8,
              "AvFrameInfo field offsets");
#endif

namespace {

using OutputList = zbbase::LockedPtrList<AvSinkFace>;

// A walk over an output list in progress on this thread. Only the walking thread can
// change the list during the walk (it holds the list's lock), so removals it makes are
// deferred: the node keeps its place, marked removed, and is unlinked when the outermost
// walk over that list ends. The walk therefore never follows a freed node.
struct OutputWalk {
  OutputList* list;
  OutputWalk* outer;
  bool removedAny;
};

thread_local OutputWalk* t_walks = nullptr;

char g_removedMark;
AvSinkFace* RemovedMark() { return reinterpret_cast<AvSinkFace*>(&g_removedMark); }

OutputWalk* FindWalk(const OutputList* list) {
  for (OutputWalk* walk = t_walks; walk != nullptr; walk = walk->outer) {
    if (walk->list == list) return walk;
  }
  return nullptr;
}

// Registers a walk for its scope; the outermost walk of a list purges removed nodes.
class WalkScope {
 public:
  explicit WalkScope(OutputList* list) : m_walk{list, t_walks, false} { t_walks = &m_walk; }
  ~WalkScope() {
    t_walks = m_walk.outer;
    if (!m_walk.removedAny) return;
    if (OutputWalk* enclosing = FindWalk(m_walk.list)) {
      enclosing->removedAny = true;
      return;
    }
    auto* node = m_walk.list->head();
    while (node != nullptr) {
      auto* next = node->next;
      if (node->value == RemovedMark()) m_walk.list->RemoveAt(node);
      node = next;
    }
  }
  WalkScope(const WalkScope&) = delete;
  WalkScope& operator=(const WalkScope&) = delete;

 private:
  OutputWalk m_walk;
};

// A connection this thread is making: stands in the list for `peer` from the moment this
// side lists it until the peer has answered. It lives on the connecting thread's stack, and
// the entry that points to it is turned into the peer or taken off, under the list's lock,
// before its scope ends; so any thread that meets the entry under that lock may read it.
struct Exchange {
  const void* peer;
  Exchange* outer;  // the exchange this thread began before this one, or null
};

thread_local Exchange* t_exchanges = nullptr;

// A provisional entry is the address of its Exchange with the lowest bit set, which no face
// address has.
constexpr uintptr_t kProvisionalBit = 1;
static_assert(alignof(Exchange) > kProvisionalBit, "an Exchange's address leaves the bit free");

bool IsProvisional(const void* value) { return (reinterpret_cast<uintptr_t>(value) & kProvisionalBit) != 0; }

const Exchange* ExchangeOf(const void* value) {
  return reinterpret_cast<const Exchange*>(reinterpret_cast<uintptr_t>(value) & ~kProvisionalBit);
}

bool IsThisThreads(const Exchange* exchange) {
  for (const Exchange* own = t_exchanges; own != nullptr; own = own->outer) {
    if (own == exchange) return true;
  }
  return false;
}

// Registers an exchange for its scope; Entry is what the list holds for it meanwhile.
class ExchangeScope {
 public:
  explicit ExchangeScope(const void* peer) : m_exchange{peer, t_exchanges} { t_exchanges = &m_exchange; }
  ~ExchangeScope() { t_exchanges = m_exchange.outer; }
  ExchangeScope(const ExchangeScope&) = delete;
  ExchangeScope& operator=(const ExchangeScope&) = delete;

  template <typename T>
  T* Entry() {
    return reinterpret_cast<T*>(reinterpret_cast<uintptr_t>(&m_exchange) | kProvisionalBit);
  }

 private:
  Exchange m_exchange;
};

// A stored peer, as opposed to an empty entry, a node marked removed or a provisional entry.
bool IsPeer(const void* value) { return value != nullptr && value != &g_removedMark && !IsProvisional(value); }

// Whether `value` is `peer` or a provisional entry for it.
bool StandsFor(const void* value, const void* peer) {
  return value == peer || (IsProvisional(value) && ExchangeOf(value)->peer == peer);
}

// Unlinks `node` from an output list, or, while this thread walks that list, marks it
// removed for the walk to unlink at its end.
void UnlinkNode(OutputList& list, OutputList::ListNode* node) {
  if (OutputWalk* walk = FindWalk(&list)) {
    node->value = RemovedMark();
    walk->removedAny = true;
  } else {
    list.RemoveAt(node);
  }
}

// Input lists are never walked while a peer is called.
void UnlinkNode(zbbase::LockedPtrList<AvSourceFace>& list, zbbase::LockedPtrList<AvSourceFace>::ListNode* node) {
  list.RemoveAt(node);
}

// Whether a call to connect `peer` has its answer already: true when the list holds the
// peer itself, or an entry of an exchange of this thread (the peer calling back). Called
// with the list's lock held.
template <typename T>
bool Answered(const zbbase::LockedPtrList<T>& list, const T* peer) {
  for (auto* node = list.head(); node != nullptr; node = node->next) {
    if (node->value == peer) return true;
    if (IsProvisional(node->value) && ExchangeOf(node->value)->peer == peer &&
        IsThisThreads(ExchangeOf(node->value))) {
      return true;
    }
  }
  return false;
}

// Unlists `peer`, and cancels every exchange that is connecting it: an exchange whose entry
// is gone lists nothing when its peer answers. True when anything was taken off.
template <typename T>
bool UnlistPeer(zbbase::LockedPtrList<T>& list, T* peer) {
  zbbase::AutoLock lock(&list);
  bool listed = false;
  for (auto* node = list.head(); node != nullptr;) {
    auto* next = node->next;
    if (StandsFor(node->value, peer)) {
      UnlinkNode(list, node);
      listed = true;
    }
    node = next;
  }
  return listed;
}

// Takes the peers off `list` one at a time, from the head, each under the lock, and hands
// each to `detach` without it: the peer calls back and finds itself gone. Nothing is
// allocated, so a module can be destroyed when memory has run out; an exception from a
// peer stops at that peer, since destructors let none pass.
template <typename T, typename Detach>
void DetachAll(zbbase::LockedPtrList<T>& list, Detach detach) {
  for (;;) {
    T* former = nullptr;
    {
      zbbase::AutoLock lock(&list);
      auto* node = list.head();
      if (node == nullptr) return;
      former = node->value;
      list.RemoveAt(node);
    }
    if (!IsPeer(former)) continue;
    try {
      detach(former);
    } catch (...) {
      // This side is detached from `former`; the others are still told.
    }
  }
}

// Lists a provisional entry for `peer` on this side, then has `connectPeer` ask the peer to
// list this side; the peer's call back on this thread finds the entry and ends the exchange.
// The entry is no connection for anyone else: delivery and counting pass over it, and a
// connection made meanwhile on another thread makes an exchange of its own, so a failing
// exchange takes off only its own entry, never one that another call has answered true on.
// When the peer agrees the entry becomes the peer (or goes, if another exchange listed the
// peer first); when it cannot (no node block, a refusal or an exception) the entry goes and
// the answer is false. An entry that a removal took meanwhile stays gone. No exception leaves.
template <typename T, typename Connect>
bool ConnectPair(zbbase::LockedPtrList<T>& list, T* peer, Connect connectPeer) {
  ExchangeScope exchange(peer);
  T* const entry = exchange.Entry<T>();
  try {
    zbbase::AutoLock lock(&list);
    if (Answered(list, peer)) return true;
    list.AddTail(entry);
  } catch (...) {
    return false;  // no node block: nothing is listed
  }
  bool agreed = false;
  try {
    agreed = connectPeer();
  } catch (...) {
    // Handled below as a refusal.
  }
  zbbase::AutoLock lock(&list);
  auto* node = list.Find(entry);
  if (node == nullptr) return agreed;
  if (agreed && list.Find(peer) == nullptr) {
    node->value = peer;
  } else {
    UnlinkNode(list, node);
  }
  return agreed;
}

// Unlists `peer` on this side, then tells `peer`; an exception from the peer stops there.
template <typename T, typename Disconnect>
bool DisconnectPair(zbbase::LockedPtrList<T>& list, T* peer, Disconnect disconnectPeer) {
  if (!UnlistPeer(list, peer)) return false;
  try {
    disconnectPeer();
  } catch (...) {
    // This side is detached; the peer's own half is its business.
  }
  return true;
}

}  // namespace

template <typename Face>
bool AvSourcePortOf<Face>::AddOutput(AvSinkFace* pOutput) {
  if (!ZB_ASSERT_AT(pOutput != nullptr, kAssertAddOutput)) return false;
  // Called without our list's lock; the peer records us and calls back AddOutput,
  // which finds this exchange's entry and ends the exchange.
  return ConnectPair(m_lstOutputs, pOutput, [&] { return pOutput->AddInput(this); });
}

template <typename Face>
bool AvSourcePortOf<Face>::RemoveOutput(AvSinkFace* pOutput) {
  if (!ZB_ASSERT_AT(pOutput != nullptr, kAssertRemoveOutput)) return false;
  return DisconnectPair(m_lstOutputs, pOutput, [&] { pOutput->RemoveInput(this); });
}

template <typename Face>
int32_t AvSourcePortOf<Face>::CountActiveOutputs() {
  zbbase::AutoLock lock(&m_lstOutputs);
  WalkScope walk(&m_lstOutputs);
  int32_t active = 0;
  for (auto* node = m_lstOutputs.head(); node != nullptr; node = node->next) {
    if (IsPeer(node->value) && node->value->IsActive(this)) ++active;
  }
  return active;
}

template <typename Face>
AvSourcePortOf<Face>::~AvSourcePortOf() {
  DetachAll(m_lstOutputs, [this](AvSinkFace* former) { former->RemoveInput(this); });
}

template <typename Face>
int32_t AvSourceOf<Face>::ReservedQuery() {
  return 0;
}

template <typename Face>
void AvSourceOf<Face>::ReservedNotify() {}

template <typename Face>
void AvSourceOf<Face>::DeliverFrame(AvFrame* frame) {
  auto& outputs = this->m_lstOutputs;
  zbbase::AutoLock lock(&outputs);
  WalkScope walk(&outputs);
  for (auto* node = outputs.head(); node != nullptr;) {
    auto* next = node->next;
    AvSinkFace* lpOutput = node->value;
    if (lpOutput != RemovedMark() && !IsProvisional(lpOutput) &&
        ZB_ASSERT_AT(lpOutput != nullptr, kAssertDeliverOutput)) {
      if (lpOutput->IsActive(this)) lpOutput->HandleFrame(this, frame);
    }
    node = next;
  }
}

template <typename Face>
void AvSourceOf<Face>::SendFrame(uint8_t type, uint16_t kind, AvFrameInfo* info, uint32_t len, uint8_t* data) {
  AvFrame frame{};
  frame.type = type;
  frame.kind = kind;
  frame.info = info;
  frame.len = len;
  frame.data = data;
  DeliverFrame(&frame);
}

template class AvSourcePortOf<AvSourceFace>;
template class AvSourcePortOf<AvFilterSourceFace>;
template class AvSourcePortOf<AvEncoderSourceFace>;
template class AvSourceOf<AvSourceFace>;
template class AvSourceOf<AvFilterSourceFace>;
template class AvSourceOf<AvEncoderSourceFace>;

bool AvSinkPort::IsActive(AvSourceFace* /*from*/) { return m_bActive; }

bool AvSinkPort::AddInput(AvSourceFace* pInput) {
  if (!ZB_ASSERT_AT(pInput != nullptr, kAssertAddInput)) return false;
  return ConnectPair(m_lstInputs, pInput, [&] { return pInput->AddOutput(this); });
}

bool AvSinkPort::RemoveInput(AvSourceFace* pInput) {
  if (!ZB_ASSERT_AT(pInput != nullptr, kAssertRemoveInput)) return false;
  return DisconnectPair(m_lstInputs, pInput, [&] { pInput->RemoveOutput(this); });
}

AvSinkPort::~AvSinkPort() {
  DetachAll(m_lstInputs, [this](AvSourceFace* former) { former->RemoveOutput(this); });
}

bool AvEncoderBase::ResetStream() { return false; }

void AvEncoderBase::ReservedSetting(int32_t /*value*/) {}

void AvEncoderBase::EnableRedundancy(bool enable) { m_bRedundancy.store(enable); }

int32_t AvEncoderBase::ReservedControl(int32_t /*value*/) { return 0; }

bool AvEncoderBase::AcceptsType(uint16_t type) { return type == AV_TYPE_PCM; }

bool AvDecoderBase::ResetStream() { return false; }

int32_t AvDecoderBase::ReservedControl(int32_t /*value*/) { return 0; }

uint16_t AvDecoderBase::GetOutputType() { return AV_TYPE_PCM; }
