// The host's own implementations of the two module faces: a source face and a sink face
// with plain connection lists, following the connection exchange every module follows
// (the side called first records the peer, then calls the peer's mirror operation, whose
// call back finds the entry present and ends the exchange). The host is single-threaded,
// so the lists need no lock.
#pragma once

#include <cstdint>
#include <vector>

#include "Include/QV_Interface/zbav_abi.h"

namespace zbhost {

// One face's connections and its side of the exchange: `self` is the face, `mirrorAdd` and
// `mirrorRemove` the peer's operations that the exchange calls back with it.
template <typename Self, typename Peer>
class Connections {
 public:
  using Mirror = bool (Peer::*)(Self*);
  Connections(Self* self, Mirror mirrorAdd, Mirror mirrorRemove)
      : m_pSelf(self), m_mirrorAdd(mirrorAdd), m_mirrorRemove(mirrorRemove) {}

  bool Add(Peer* peer);     // true, also when the peer is already connected
  bool Remove(Peer* peer);  // false when the peer is not connected
  bool Contains(Peer* peer) const;
  const std::vector<Peer*>& peers() const { return m_lstPeers; }

 private:
  Self* m_pSelf;
  Mirror m_mirrorAdd;
  Mirror m_mirrorRemove;
  std::vector<Peer*> m_lstPeers;
};

// A source face owned by the host. Destroying it through slot 0 only detaches it: the
// graph owns the object and frees it itself.
class HostSourceFace : public AvSourceFace {
 public:
  explicit HostSourceFace(uint16_t outputType) : m_outputType(outputType) {}
  HostSourceFace(const HostSourceFace&) = delete;
  HostSourceFace& operator=(const HostSourceFace&) = delete;
  virtual ~HostSourceFace();

  void* DeletingDestructor(unsigned int flags) override;
  uint16_t GetOutputType() override { return m_outputType; }
  bool AddOutput(AvSinkFace* pOutput) override { return m_outputs.Add(pOutput); }
  bool RemoveOutput(AvSinkFace* pOutput) override { return m_outputs.Remove(pOutput); }
  int32_t CountActiveOutputs() override;
  int32_t ReservedQuery() override { return 0; }
  void ReservedNotify() override {}
  int32_t ReservedControl(int32_t) override { return 0; }

  // Offers `frame` to each active output in connection order; returns how many took it.
  int Deliver(AvFrame* frame);
  // Removes every output, telling each.
  void DetachAll();
  size_t OutputCount() const { return m_outputs.peers().size(); }

 private:
  uint16_t m_outputType;
  Connections<AvSourceFace, AvSinkFace> m_outputs{this, &AvSinkFace::AddInput,
                                                  &AvSinkFace::RemoveInput};
};

// A sink face owned by the host; HandleFrame and AcceptsType are the subclass's.
class HostSinkFace : public AvSinkFace {
 public:
  HostSinkFace() = default;
  HostSinkFace(const HostSinkFace&) = delete;
  HostSinkFace& operator=(const HostSinkFace&) = delete;
  virtual ~HostSinkFace();

  void* DeletingDestructor(unsigned int flags) override;
  bool IsActive(AvSourceFace*) override { return true; }
  bool AddInput(AvSourceFace* pInput) override { return m_inputs.Add(pInput); }
  bool RemoveInput(AvSourceFace* pInput) override { return m_inputs.Remove(pInput); }

  void DetachAll();
  size_t InputCount() const { return m_inputs.peers().size(); }

 private:
  Connections<AvSinkFace, AvSourceFace> m_inputs{this, &AvSourceFace::AddOutput,
                                                 &AvSourceFace::RemoveOutput};
};

}  // namespace zbhost
