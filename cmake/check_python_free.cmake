# Fails when a core library source mentions the interpreter's C API.
file(GLOB_RECURSE core_sources
  ${SOURCE_DIR}/src/support/*
  ${SOURCE_DIR}/src/lookup/*
  ${SOURCE_DIR}/src/registry/*
  ${SOURCE_DIR}/src/particles/*
  ${SOURCE_DIR}/src/datasheet/*
  ${SOURCE_DIR}/src/json/*
  ${SOURCE_DIR}/src/expression/*
  ${SOURCE_DIR}/src/units/*
  ${SOURCE_DIR}/src/catalogue/*)
set(offenders "")
foreach(source IN LISTS core_sources)
  file(STRINGS ${source} hits REGEX "Python\\.h|PyObject|Py_ssize_t")
  if(hits)
    list(APPEND offenders "${source}")
  endif()
endforeach()
if(offenders)
  message(FATAL_ERROR "core sources use the Python C API: ${offenders}")
endif()
list(LENGTH core_sources count)
message(STATUS "${count} core sources are free of the Python C API")
