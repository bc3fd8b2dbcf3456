# kov_add_provider(NAME SOURCES...): a provider library for the KOV broker, for both targets.
#
#   Linux: hidden visibility and a version script, so the three entry points are the library's
#          only exports (template code of the C++ library would otherwise be exported weakly and
#          could bind to another library's copy).
#   MinGW: the __stdcall entry points exported undecorated (kov_Receive, not kov_Receive@4) and
#          the C and C++ runtimes linked statically, so the DLL needs no MinGW DLLs beside it.
#   MSVC-style tools: a .def gives the undecorated names (the decorated ones stay as well).
#
# Mark the entry points KOV_PROVIDER_EXPORT (from <kov/kov_broker.h>). Used in the source tree
# for the sample provider and installed with the package.
function(kov_add_provider name)
  # Beside this file, in the source tree and in the installed package alike.
  set(KOV_PROVIDER_EXPORTS_MAP "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kov_provider_exports.map")
  set(KOV_PROVIDER_EXPORTS_DEF "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kov_provider_exports.def")
  if(NOT ARGN)
    message(FATAL_ERROR "kov_add_provider(${name}): no sources given")
  endif()
  add_library(${name} SHARED ${ARGN})
  target_link_libraries(${name} PRIVATE KOVBroker::headers)
  # The broker loads the file by the path registered; no "lib" prefix to guess.
  set_target_properties(${name} PROPERTIES PREFIX ""
                                           C_VISIBILITY_PRESET hidden
                                           CXX_VISIBILITY_PRESET hidden
                                           VISIBILITY_INLINES_HIDDEN ON)
  if(MINGW)
    target_link_options(${name} PRIVATE -Wl,--kill-at -static)
  elseif(WIN32)
    target_sources(${name} PRIVATE "${KOV_PROVIDER_EXPORTS_DEF}")
  else()
    target_link_options(${name} PRIVATE "-Wl,--version-script=${KOV_PROVIDER_EXPORTS_MAP}")
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${KOV_PROVIDER_EXPORTS_MAP}")
  endif()
endfunction()
