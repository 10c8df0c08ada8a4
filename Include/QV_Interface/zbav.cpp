// Source and sink base classes: connection exchange, delivery and detaching.
#include "Include/QV_Interface/zbav.h"

#include <cstddef>

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

// A stored peer, as opposed to an empty entry or a node marked removed.
bool IsPeer(const void* value) { return value != nullptr && value != &g_removedMark; }

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

// Lists `peer` unless it is listed already; true when it was added.
template <typename T>
bool ListPeer(zbbase::LockedPtrList<T>& list, T* peer) {
  zbbase::AutoLock lock(&list);
  if (list.Find(peer) != nullptr) return false;
  list.AddTail(peer);
  return true;
}

// Unlists `peer`; true when it was listed.
template <typename T>
bool UnlistPeer(zbbase::LockedPtrList<T>& list, T* peer) {
  zbbase::AutoLock lock(&list);
  auto* node = list.Find(peer);
  if (node == nullptr) return false;
  UnlinkNode(list, node);
  return true;
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

// Lists `peer` on this side, then has `connectPeer` ask the peer to list this side. All or
// nothing: when either side cannot (no node block, a refusal or an exception from the
// peer) this side's entry goes again and the answer is false; no exception leaves.
template <typename T, typename Connect>
bool ConnectPair(zbbase::LockedPtrList<T>& list, T* peer, Connect connectPeer) {
  bool listed = false;
  try {
    listed = ListPeer(list, peer);
    if (!listed || connectPeer()) return true;
  } catch (...) {
    // Handled below: the pair is left as it was.
  }
  if (listed) UnlistPeer(list, peer);
  return false;
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
  // which finds the peer listed and ends the exchange.
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
    if (lpOutput != RemovedMark() && ZB_ASSERT_AT(lpOutput != nullptr, kAssertDeliverOutput)) {
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
