// Connection lists and delivery of the host's own faces.
#include "host/library/HostFaces.h"

#include <algorithm>

namespace zbhost {

template <typename Self, typename Peer>
bool Connections<Self, Peer>::Add(Peer* peer) {
  if (peer == nullptr || Contains(peer)) return true;
  m_lstPeers.push_back(peer);
  (peer->*m_mirrorAdd)(m_pSelf);
  return true;
}

template <typename Self, typename Peer>
bool Connections<Self, Peer>::Remove(Peer* peer) {
  const auto it = std::find(m_lstPeers.begin(), m_lstPeers.end(), peer);
  if (peer == nullptr || it == m_lstPeers.end()) return false;
  m_lstPeers.erase(it);
  (peer->*m_mirrorRemove)(m_pSelf);
  return true;
}

template <typename Self, typename Peer>
bool Connections<Self, Peer>::Contains(Peer* peer) const {
  return std::find(m_lstPeers.begin(), m_lstPeers.end(), peer) != m_lstPeers.end();
}

template class Connections<AvSourceFace, AvSinkFace>;
template class Connections<AvSinkFace, AvSourceFace>;

HostSourceFace::~HostSourceFace() { DetachAll(); }

void* HostSourceFace::DeletingDestructor(unsigned int) {
  DetachAll();
  return this;
}

int32_t HostSourceFace::CountActiveOutputs() {
  const std::vector<AvSinkFace*>& outputs = m_outputs.peers();
  return static_cast<int32_t>(std::count_if(
      outputs.begin(), outputs.end(), [this](AvSinkFace* output) { return output->IsActive(this); }));
}

int HostSourceFace::Deliver(AvFrame* frame) {
  int taken = 0;
  // A copy: an output may disconnect itself while it handles the frame.
  const std::vector<AvSinkFace*> outputs = m_outputs.peers();
  for (AvSinkFace* output : outputs) {
    if (!m_outputs.Contains(output) || !output->IsActive(this)) continue;
    if (output->HandleFrame(this, frame)) ++taken;
  }
  return taken;
}

void HostSourceFace::DetachAll() {
  while (!m_outputs.peers().empty()) RemoveOutput(m_outputs.peers().back());
}

HostSinkFace::~HostSinkFace() { DetachAll(); }

void* HostSinkFace::DeletingDestructor(unsigned int) {
  DetachAll();
  return this;
}

void HostSinkFace::DetachAll() {
  while (!m_inputs.peers().empty()) RemoveInput(m_inputs.peers().back());
}

}  // namespace zbhost
