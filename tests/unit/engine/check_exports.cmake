# Lists the export table of a built IDAPI32.DLL and checks that it holds exactly the
# engine's functions (the list in idapi/include/idapi/exports.h) under their plain
# names (no stdcall "@N" decoration).
#   cmake -DOBJDUMP=... -DDLL=... -P check_exports.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../../idapi/exports.cmake)
idapi_export_names(expected)

# A library of another preset that is not built: skipped, not failed (the test's
# SKIP_REGULAR_EXPRESSION matches this line).
if(NOT EXISTS "${DLL}")
  message("skipped: ${DLL} is not built (./dev.sh build)")
  return()
endif()
execute_process(COMMAND "${OBJDUMP}" -p "${DLL}" OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

string(REPLACE "\n" ";" lines "${dump}")
set(inside FALSE)
set(names)
foreach(line IN LISTS lines)
  if(line MATCHES "\\[Ordinal/Name Pointer\\] Table")
    set(inside TRUE)
  elseif(inside)
    if(line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
      list(APPEND names "${CMAKE_MATCH_1}")
    else()
      break()
    endif()
  endif()
endforeach()

foreach(name IN LISTS names)
  if(name MATCHES "@")
    message(FATAL_ERROR "decorated export name in ${DLL}: ${name}")
  endif()
endforeach()
list(SORT names)
list(SORT expected)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exports of ${DLL}:\n  ${names}\nexpected:\n  ${expected}")
endif()
list(LENGTH names count)
message(STATUS "${DLL}: ${count} plain exports")
