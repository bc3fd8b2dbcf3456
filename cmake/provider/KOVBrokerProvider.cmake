# kov_add_provider(NAME [KEEP_LOADED] SOURCES...): a provider library for the KOV broker, for
# both targets.
#
#   Linux: hidden visibility and a version script, so the three entry points are the library's
#          only exports (template code of the C++ library would otherwise be exported weakly and
#          could bind to another library's copy).
#   MinGW: the __stdcall entry points exported undecorated (kov_Receive, not kov_Receive@4) and
#          the C and C++ runtimes linked statically, so the DLL needs no MinGW DLLs beside it.
#   MSVC-style tools: a .def gives the undecorated names (the decorated ones stay as well).
#   KEEP_LOADED: kov_keepLoaded() from <kov/kov_keep_loaded.h> is built into the library, for a
#          provider that runs threads of its own.
#
# Mark the entry points KOV_PROVIDER_EXPORT (from <kov/kov_broker.h>). Used in the source tree
# for the sample provider and installed with the package.
# The source of kov_keepLoaded() for the target platform, beside this file.
function(kov_keep_loaded_source out)
  if(WIN32)
    set(${out} "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kov_keep_loaded_win32.c" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kov_keep_loaded_posix.c" PARENT_SCOPE)
  endif()
endfunction()

# Adds kov_keepLoaded() to a target; compiled as C++ where the project has no C compiler.
function(kov_add_keep_loaded target)
  kov_keep_loaded_source(source)
  target_sources(${target} PRIVATE "${source}")
  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  if(NOT "C" IN_LIST languages)
    set_source_files_properties("${source}" TARGET_DIRECTORY ${target} PROPERTIES LANGUAGE CXX)
  endif()
  target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
endfunction()

function(kov_add_provider name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "KEEP_LOADED" "" "")
  # Beside this file, in the source tree and in the installed package alike.
  set(KOV_PROVIDER_EXPORTS_MAP "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kov_provider_exports.map")
  set(KOV_PROVIDER_EXPORTS_DEF "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kov_provider_exports.def")
  if(NOT arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kov_add_provider(${name}): no sources given")
  endif()
  add_library(${name} SHARED ${arg_UNPARSED_ARGUMENTS})
  if(arg_KEEP_LOADED)
    kov_add_keep_loaded(${name})
  endif()
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
