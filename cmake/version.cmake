# vexo_read_version(HEADER OUT_VAR) sets OUT_VAR to "major.minor.patch" as
# written by the #defines of VEXO_UTIL_VERSION_MAJOR, _MINOR and _PATCH in
# HEADER, and fails when one is missing or when minor or patch is above 99
# (VEXO_UTIL_VERSION packs each into two decimal digits). The header becomes
# a configure dependency of the calling directory.
function(vexo_read_version header out_var)
  # A changed version must reconfigure a build directory, or the library's
  # file name would keep the version of its first configuration.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
  file(STRINGS ${header} lines REGEX "^#define VEXO_UTIL_VERSION_(MAJOR|MINOR|PATCH) ")
  foreach(part MAJOR MINOR PATCH)
    set(value "")
    foreach(line IN LISTS lines)
      if(line MATCHES "^#define VEXO_UTIL_VERSION_${part} +([0-9]+)$")
        set(value ${CMAKE_MATCH_1})
      endif()
    endforeach()
    if(value STREQUAL "")
      message(FATAL_ERROR "${header}: no number in #define VEXO_UTIL_VERSION_${part}")
    endif()
    if(NOT part STREQUAL "MAJOR" AND value GREATER 99)
      message(FATAL_ERROR "${header}: VEXO_UTIL_VERSION_${part} ${value} is above 99")
    endif()
    set(${part} ${value})
  endforeach()
  # Normalise "02" to "2", as project(VERSION) would.
  math(EXPR MAJOR "${MAJOR}")
  math(EXPR MINOR "${MINOR}")
  math(EXPR PATCH "${PATCH}")
  set(${out_var} "${MAJOR}.${MINOR}.${PATCH}" PARENT_SCOPE)
endfunction()
