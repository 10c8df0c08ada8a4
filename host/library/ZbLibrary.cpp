// Run-time loading of the plug-in library and module creation through its exports.
#include "host/library/ZbLibrary.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "host/base/HostError.h"

namespace zbhost {

namespace {

constexpr int32_t kMaxInterfaces = 256;       // a sane bound on what a library enumerates
constexpr size_t kNameBufferBytes = 256;      // more than the 16 bytes a name may take

template <typename Fn>
Fn Resolve(void* handle, const std::string& path, const char* name) {
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) {
    throw HostError(kExitLibrary, fmt::format("the library '{}' lacks the export {}", path, name));
  }
  Fn fn = nullptr;
  static_assert(sizeof fn == sizeof symbol, "function and object pointers have one size");
  std::memcpy(&fn, &symbol, sizeof fn);
  return fn;
}

}  // namespace

ModuleHandle::ModuleHandle(ModuleHandle&& other) noexcept
    : m_pLibrary(std::exchange(other.m_pLibrary, nullptr)),
      m_pObject(std::exchange(other.m_pObject, nullptr)) {}

ModuleHandle& ModuleHandle::operator=(ModuleHandle&& other) noexcept {
  if (this != &other) {
    Reset();
    m_pLibrary = std::exchange(other.m_pLibrary, nullptr);
    m_pObject = std::exchange(other.m_pObject, nullptr);
  }
  return *this;
}

void ModuleHandle::EnableRedundancy(bool enable) const {
  static_cast<AvEncoderSourceFace*>(m_pObject)->EnableRedundancy(enable);
}

void ModuleHandle::ChooseEncoderMode(ZbEncoderMode mode) const {
  static_cast<AvEncoderSourceFace*>(m_pObject)->ReservedSetting(mode);
}

void ModuleHandle::Reset() {
  if (m_pObject != nullptr) m_pLibrary->Destroy(m_pObject);
  m_pObject = nullptr;
  m_pLibrary = nullptr;
}

ZbLibrary::ZbLibrary(const std::string& path) : m_path(path) {
  m_pHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m_pHandle == nullptr) {
    const char* reason = dlerror();
    throw HostError(kExitLibrary, fmt::format("cannot load the library '{}': {}", path,
                                              reason != nullptr ? reason : "unknown reason"));
  }
  // A bare name is found through the search path: report the file the loader chose.
  const link_map* loaded = nullptr;
  if (dlinfo(m_pHandle, RTLD_DI_LINKMAP, &loaded) == 0 && loaded != nullptr &&
      loaded->l_name[0] != '\0') {
    m_path = std::filesystem::path(loaded->l_name).lexically_normal().string();
  }
  try {
    m_exports.initialize = Resolve<ZbInitializeFn>(m_pHandle, m_path, "zbInitialize");
    m_exports.uninitialize = Resolve<ZbUninitializeFn>(m_pHandle, m_path, "zbUninitialize");
    m_exports.getInterfaceName = Resolve<ZbGetInterfaceNameFn>(m_pHandle, m_path, "zbGetInterfaceName");
    m_exports.createInstance = Resolve<ZbCreateInstanceFn>(m_pHandle, m_path, "zbCreateInstance");
    m_exports.destroyInstance = Resolve<ZbDestroyInstanceFn>(m_pHandle, m_path, "zbDestroyInstance");
    if (!m_exports.initialize()) {
      throw HostError(kExitLibrary, fmt::format("the library '{}' failed to initialise", m_path));
    }
  } catch (...) {
    dlclose(m_pHandle);
    throw;
  }
  for (int32_t index = 0; index < kMaxInterfaces; ++index) {
    char buffer[kNameBufferBytes] = {};
    if (!m_exports.getInterfaceName(index, buffer)) break;
    buffer[kNameBufferBytes - 1] = '\0';
    m_names.emplace_back(buffer);
  }
}

ZbLibrary::~ZbLibrary() {
  m_exports.uninitialize();
  dlclose(m_pHandle);
}

IZBAvChildModule* ZbLibrary::Descriptor() const {
  void* descriptor = m_exports.createInstance(ZB_NAME_CHILD_MODULE);
  if (descriptor == nullptr) {
    throw HostError(kExitLibrary, fmt::format("the library '{}' does not offer the interface {}",
                                              m_path, ZB_NAME_CHILD_MODULE));
  }
  return static_cast<IZBAvChildModule*>(descriptor);
}

void ZbLibrary::RequireInterface(const std::string& name) const {
  if (std::find(m_names.begin(), m_names.end(), name) == m_names.end()) {
    throw HostError(kExitLibrary,
                    fmt::format("the library '{}' does not offer the interface {}", m_path, name));
  }
}

ModuleHandle ZbLibrary::Create(const std::string& name) const {
  RequireInterface(name);
  void* object = m_exports.createInstance(name.c_str());
  if (object == nullptr) {
    throw HostError(kExitLibrary,
                    fmt::format("the library '{}' could not create {}", m_path, name));
  }
  return ModuleHandle(this, object);
}

std::string DefaultLibraryPath() {
  // The loader would find the bare name along this program's search path (LD_LIBRARY_PATH,
  // the run path, the system folders), but a dlopen interposed by a sanitizer runtime
  // searches from the runtime's place and misses the run path; so walk the program's own
  // search path here and name the file in full. The loader's cache remains the fallback.
  const std::string name = ZBHOST_LIBRARY_NAME;
  void* self = dlopen(nullptr, RTLD_NOW);
  Dl_serinfo sizes{};
  if (self == nullptr || dlinfo(self, RTLD_DI_SERINFOSIZE, &sizes) != 0) return name;
  std::vector<std::max_align_t> storage(sizes.dls_size / sizeof(std::max_align_t) + 1);
  auto* info = reinterpret_cast<Dl_serinfo*>(storage.data());
  *info = sizes;
  std::string found = name;
  if (dlinfo(self, RTLD_DI_SERINFO, info) == 0) {
    for (unsigned int i = 0; i < info->dls_cnt; ++i) {
      const std::filesystem::path candidate = std::filesystem::path(info->dls_serpath[i].dls_name) / name;
      std::error_code error;
      if (std::filesystem::exists(candidate, error)) {
        found = candidate.lexically_normal().string();
        break;
      }
    }
  }
  dlclose(self);
  return found;
}

}  // namespace zbhost
