// Loads the plug-in library at run time the way any host must: dlopen, the five exports
// by name, zbInitialize, the list of interface names and the descriptor. Modules created
// through it are handed out as owning handles that give the object back with
// zbDestroyInstance.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "exports/zbexports.h"
#include "receive/Exports.h"

namespace zbhost {

class ZbLibrary;

// A module object created by the library; destroyed through the library when released.
class ModuleHandle {
 public:
  ModuleHandle() = default;
  ModuleHandle(const ZbLibrary* library, void* object) : m_pLibrary(library), m_pObject(object) {}
  ModuleHandle(ModuleHandle&& other) noexcept;
  ModuleHandle& operator=(ModuleHandle&& other) noexcept;
  ModuleHandle(const ModuleHandle&) = delete;
  ModuleHandle& operator=(const ModuleHandle&) = delete;
  ~ModuleHandle() { Reset(); }

  void Reset();
  AvSourceFace* Source() const { return SourceFaceOf(m_pObject); }
  AvSinkFace* Sink() const { return SinkFaceOf(m_pObject); }
  // Calls slot 10 of an encoder's source face, which is an AvEncoderSourceFace.
  void EnableRedundancy(bool enable) const;
  // Calls slot 9 of an encoder's source face with the mode's tagged value.
  void ChooseEncoderMode(ZbEncoderMode mode) const;

 private:
  const ZbLibrary* m_pLibrary = nullptr;
  void* m_pObject = nullptr;
};

class ZbLibrary {
 public:
  // Loads `path`, resolves the exports and calls zbInitialize. Throws HostError (library)
  // when the file cannot be loaded, an export is missing or initialisation fails.
  explicit ZbLibrary(const std::string& path);
  ~ZbLibrary();
  ZbLibrary(const ZbLibrary&) = delete;
  ZbLibrary& operator=(const ZbLibrary&) = delete;

  // The file loaded: the path given, or where the loader found a bare name.
  const std::string& path() const { return m_path; }
  // The interface names the library enumerates, in index order.
  const std::vector<std::string>& interfaceNames() const { return m_names; }
  // Throws HostError (library) unless `name` is among the interface names.
  void RequireInterface(const std::string& name) const;
  // The descriptor; throws HostError (library) when the library does not offer it.
  IZBAvChildModule* Descriptor() const;
  // Creates a module by interface name; throws HostError (library) when the name is not
  // enumerated or creation fails.
  ModuleHandle Create(const std::string& name) const;
  void Destroy(void* object) const { m_exports.destroyInstance(object); }
  // The five exports, for the receive path's binding.
  const zbreceive::ZbExports& exports() const { return m_exports; }

 private:
  std::string m_path;
  void* m_pHandle = nullptr;
  zbreceive::ZbExports m_exports;
  std::vector<std::string> m_names;
};

// The library by its soname, found along this program's search path: its run path puts
// the folder beside the program, the install's library folder and, in the build tree,
// zbadpcm's output folder on it. The bare soname when none of them holds it.
std::string DefaultLibraryPath();

}  // namespace zbhost
