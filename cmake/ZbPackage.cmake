# What a host developer finds under the install prefix besides the library and headers (the
# CMake package, the pkg-config file, the C example), and the packages cpack makes from a
# build tree: a Debian package of the native build, a zip of the Windows build.
include(CMakePackageConfigHelpers)

set(ZB_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zbadpcm)
install(EXPORT zbadpcmTargets NAMESPACE zbadpcm:: DESTINATION ${ZB_CMAKE_PACKAGE_DIR})
configure_package_config_file(cmake/zbadpcmConfig.cmake.in ${PROJECT_BINARY_DIR}/zbadpcmConfig.cmake
  INSTALL_DESTINATION ${ZB_CMAKE_PACKAGE_DIR})
# One soname per major version: a package of the same major version is compatible.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zbadpcmConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zbadpcmConfig.cmake ${PROJECT_BINARY_DIR}/zbadpcmConfigVersion.cmake
  DESTINATION ${ZB_CMAKE_PACKAGE_DIR})

# The pkg-config file finds the prefix from its own folder, so one file serves every install
# prefix, the Debian package's included.
file(RELATIVE_PATH ZB_PREFIX_FROM_PCFILEDIR /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" ZB_PREFIX_FROM_PCFILEDIR "${ZB_PREFIX_FROM_PCFILEDIR}")
configure_file(cmake/zbadpcm.pc.in ${PROJECT_BINARY_DIR}/zbadpcm.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zbadpcm.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES examples/stream_example.c examples/CMakeLists.txt DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(CPACK_PACKAGE_NAME zbadpcm)
set(CPACK_PACKAGE_VENDOR "zbadpcm developers")
set(CPACK_PACKAGE_CONTACT "zbadpcm developers <zbadpcm@example.org>")
set(CPACK_VERBATIM_VARIABLES ON)
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)
if(ZB_IS_WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  # Dependencies read from the binaries; shlibs and the ldconfig trigger for the library.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  if(ZB_BUILD_GST)
    # Two packages: zbadpcm (the library, headers, zbhost) and gstreamer1.0-zbadpcm (the plug-in).
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_ALL library gstreamer)
    set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME zbadpcm)
    set(CPACK_DEBIAN_GSTREAMER_PACKAGE_NAME gstreamer1.0-zbadpcm)
    set(CPACK_DEBIAN_GSTREAMER_PACKAGE_SECTION sound)
    set(CPACK_COMPONENT_GSTREAMER_DESCRIPTION
      "GStreamer elements zbadpcmenc, zbadpcmdec, rtpzbadpcmpay, rtpzbadpcmdepay and zbrtpguard")
    # dpkg-shlibdeps cannot resolve the library from the sibling package, so the plug-in's
    # dependencies are named here: the library of this very version and GStreamer's libraries.
    set(CPACK_DEBIAN_GSTREAMER_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_GSTREAMER_PACKAGE_DEPENDS
      "zbadpcm (= ${PROJECT_VERSION}), libgstreamer1.0-0 (>= ${ZB_GST_PROBE_gstreamer-1.0_VERSION}), libgstreamer-plugins-base1.0-0 (>= ${ZB_GST_PROBE_gstreamer-1.0_VERSION}), libglib2.0-0, libstdc++6, libc6")
  endif()
endif()
include(CPack)
