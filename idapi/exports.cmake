# Reads the names of the engine's exported functions, in the order of their ordinals,
# from the one list of them (include/idapi/exports.h).
#   idapi_export_names(<variable>)
set(IDAPI_EXPORTS_HEADER ${CMAKE_CURRENT_LIST_DIR}/include/idapi/exports.h)

function(idapi_export_names variable)
  file(STRINGS ${IDAPI_EXPORTS_HEADER} lines REGEX "^IDAPI_EXPORT\\(")
  set(names)
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^IDAPI_EXPORT\\(([A-Za-z0-9_]+), *[0-9]+\\)$")
      message(FATAL_ERROR "${IDAPI_EXPORTS_HEADER}: cannot read the entry \"${line}\"")
    endif()
    list(APPEND names ${CMAKE_MATCH_1})
  endforeach()
  if(NOT names)
    message(FATAL_ERROR "${IDAPI_EXPORTS_HEADER}: no exported function found")
  endif()
  set(${variable} ${names} PARENT_SCOPE)
endfunction()
