# Checks that a shared library exports exactly the five entry points and nothing else.
# Usage: cmake -DNM=<nm> -DLIBRARY=<file> -P check_exports.cmake
set(expected zbCreateInstance zbDestroyInstance zbGetInterfaceName zbInitialize zbUninitialize)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE table RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}: ${errors}")
endif()

# Lines read "<value> <type> <name>"; keep the names.
string(REPLACE "\n" ";" lines "${table}")
set(exported "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] +([^ ]+)$")
    list(APPEND exported "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT exported)

if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  expected: ${expected}\n  found:    ${exported}")
endif()
message(STATUS "exports: ${exported}")
