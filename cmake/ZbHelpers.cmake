# Shared target boilerplate: warnings, sanitizers, static runtime on Windows.

set(ZB_IS_WIN32 OFF)
if(WIN32)
  set(ZB_IS_WIN32 ON)
endif()

function(zb_target_defaults target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
      -Wno-sign-conversion)
    if(ZB_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
  if(ZB_SANITIZE)
    string(REPLACE ";" "," _san "${ZB_SANITIZE}")
    target_compile_options(${target} PRIVATE -fsanitize=${_san} -fno-omit-frame-pointer
      -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=${_san})
    if("undefined" IN_LIST ZB_SANITIZE)
      # The faces are called on objects built by the host or by other compilers (the C
      # ABI host among them), whose vtables carry none of this compiler's type information:
      # the dynamic-type check would report every such call.
      target_compile_options(${target} PRIVATE -fno-sanitize=vptr)
    endif()
  endif()
  if(ZB_IS_WIN32)
    # The DLL and the test programs must run with no MinGW runtime DLL beside them.
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# zb_add_library(name SOURCES ... DEPS ...): one static library per subsystem. Sources name
# headers from the project root; the public headers, installed side by side, name each other
# by file name alone, so their folder is on the path too.
function(zb_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/Include/QV_Interface)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  zb_target_defaults(${name})
endfunction()

# zb_add_test(name SOURCES ... DEPS ... [LABELS ...]): one GoogleTest program, registered with CTest.
function(zb_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} zb_gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR})
  zb_target_defaults(${name})
  if(CMAKE_CROSSCOMPILING)
    # Under Wine, discovery would start the emulator once per program; run each program as one test.
    add_test(NAME ${name} COMMAND ${name})
    if(ARG_LABELS)
      set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
  else()
    include(GoogleTest)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_LIST ${name}_TESTS)
    if(ARG_LABELS)
      # gtest_discover_tests flattens a list-valued property (only the first label would
      # stick), so the labels are set after discovery, on the test list it records.
      set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
      file(WRITE ${labels_file} "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} "
        "PROPERTIES LABELS \"${ARG_LABELS}\")\nendif()\n")
      set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
    endif()
  endif()
endfunction()
