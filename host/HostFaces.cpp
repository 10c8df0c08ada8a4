// Connection lists and delivery of the host's own faces.
#include "host/HostFaces.h"

#include <algorithm>

namespace zbhost {

namespace {

template <typename Face>
bool Contains(const std::vector<Face*>& list, Face* face) {
  return std::find(list.begin(), list.end(), face) != list.end();
}

template <typename Face>
bool Erase(std::vector<Face*>& list, Face* face) {
  const auto it = std::find(list.begin(), list.end(), face);
  if (it == list.end()) return false;
  list.erase(it);
  return true;
}

}  // namespace

HostSourceFace::~HostSourceFace() { DetachAll(); }

void* HostSourceFace::DeletingDestructor(unsigned int) {
  DetachAll();
  return this;
}

bool HostSourceFace::AddOutput(AvSinkFace* pOutput) {
  if (pOutput == nullptr || Contains(m_lstOutputs, pOutput)) return true;
  m_lstOutputs.push_back(pOutput);
  pOutput->AddInput(this);
  return true;
}

bool HostSourceFace::RemoveOutput(AvSinkFace* pOutput) {
  if (pOutput == nullptr || !Erase(m_lstOutputs, pOutput)) return false;
  pOutput->RemoveInput(this);
  return true;
}

int32_t HostSourceFace::CountActiveOutputs() {
  return static_cast<int32_t>(std::count_if(m_lstOutputs.begin(), m_lstOutputs.end(),
                                            [this](AvSinkFace* output) { return output->IsActive(this); }));
}

int HostSourceFace::Deliver(AvFrame* frame) {
  int taken = 0;
  // A copy: an output may disconnect itself while it handles the frame.
  const std::vector<AvSinkFace*> outputs = m_lstOutputs;
  for (AvSinkFace* output : outputs) {
    if (!Contains(m_lstOutputs, output) || !output->IsActive(this)) continue;
    if (output->HandleFrame(this, frame)) ++taken;
  }
  return taken;
}

void HostSourceFace::DetachAll() {
  while (!m_lstOutputs.empty()) RemoveOutput(m_lstOutputs.back());
}

HostSinkFace::~HostSinkFace() { DetachAll(); }

void* HostSinkFace::DeletingDestructor(unsigned int) {
  DetachAll();
  return this;
}

bool HostSinkFace::AddInput(AvSourceFace* pInput) {
  if (pInput == nullptr || Contains(m_lstInputs, pInput)) return true;
  m_lstInputs.push_back(pInput);
  pInput->AddOutput(this);
  return true;
}

bool HostSinkFace::RemoveInput(AvSourceFace* pInput) {
  if (pInput == nullptr || !Erase(m_lstInputs, pInput)) return false;
  pInput->RemoveOutput(this);
  return true;
}

void HostSinkFace::DetachAll() {
  while (!m_lstInputs.empty()) RemoveInput(m_lstInputs.back());
}

}  // namespace zbhost
