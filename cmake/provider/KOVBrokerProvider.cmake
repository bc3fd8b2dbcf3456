# kov_add_provider(NAME [KEEP_LOADED] [NO_KIT] SOURCES...): a provider library for the KOV broker,
# for both targets.
#
#   Linux: hidden visibility and a version script, so the three entry points are the library's
#          only exports (template code of the C++ library would otherwise be exported weakly and
#          could bind to another library's copy).
#   MinGW: the __stdcall entry points exported undecorated (kov_Receive, not kov_Receive@4) and
#          the C and C++ runtimes linked statically, so the DLL needs no MinGW DLLs beside it.
#   MSVC-style tools: a .def gives the undecorated names (the decorated ones stay as well).
#   The provider kit (<kov/kov_provider.h>, with kov_keepLoaded()) is linked as a static library,
#          kov_provider_kit, built once per project from the package's sources with the
#          project's own toolchain; nothing of it is exported. NO_KIT leaves it out (a
#          freestanding library without a C runtime, say).
#   KEEP_LOADED: kov_keepLoaded() from <kov/kov_keep_loaded.h> compiled into the library itself
#          (the kit has it too; this is for NO_KIT).
#
# Mark the entry points KOV_PROVIDER_EXPORT (from <kov/kov_broker.h>). Used in the source tree
# for the sample and test providers and installed with the package.

# Where the kit's C sources are. The installed package keeps them in kit/ beside this file, with
# kov_keep_loaded_*.c (also for providers that link no kit) in this file's own folder; the
# broker's source tree has all of them in its kit/ folder, two levels up from here.
function(_kov_kit_folders kit_out keep_loaded_out)
  set(here "${CMAKE_CURRENT_FUNCTION_LIST_DIR}")
  if(EXISTS "${here}/kit/kov_kit_internal.h")
    set(${kit_out} "${here}/kit" PARENT_SCOPE)
    set(${keep_loaded_out} "${here}" PARENT_SCOPE)
  else()
    get_filename_component(tree_kit "${here}/../../kit" ABSOLUTE)
    set(${kit_out} "${tree_kit}" PARENT_SCOPE)
    set(${keep_loaded_out} "${tree_kit}" PARENT_SCOPE)
  endif()
endfunction()

# The source of kov_keepLoaded() for the target platform.
function(kov_keep_loaded_source out)
  _kov_kit_folders(kit folder)
  if(WIN32)
    set(${out} "${folder}/kov_keep_loaded_win32.c" PARENT_SCOPE)
  else()
    set(${out} "${folder}/kov_keep_loaded_posix.c" PARENT_SCOPE)
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

# The kit's sources for the target platform.
function(kov_provider_kit_sources out)
  if(WIN32)
    set(platform win32)
  else()
    set(platform posix)
  endif()
  _kov_kit_folders(kit keep_loaded)
  set(${out}
    "${kit}/kov_kit_blocks.c" "${kit}/kov_kit_confirms.c" "${kit}/kov_kit_info.c"
    "${kit}/kov_kit_queue.c" "${kit}/kov_kit_${platform}.c"
    "${keep_loaded}/kov_keep_loaded_${platform}.c"
    PARENT_SCOPE)
endfunction()

# The target kov_provider_kit, made on first use. Compiled as C99, or as C++ where the project has
# no C compiler; position-independent and hidden, as it goes into shared libraries only.
function(kov_provider_kit_target)
  if(TARGET kov_provider_kit)
    return()
  endif()
  kov_provider_kit_sources(sources)
  add_library(kov_provider_kit STATIC ${sources})
  target_link_libraries(kov_provider_kit PUBLIC KOVBroker::headers)
  set_target_properties(kov_provider_kit PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    C_STANDARD 99
    C_EXTENSIONS OFF
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden)
  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  if(NOT "C" IN_LIST languages)
    set_source_files_properties(${sources} PROPERTIES LANGUAGE CXX)
  endif()
  if(NOT WIN32)
    set(THREADS_PREFER_PTHREAD_FLAG ON)
    find_package(Threads REQUIRED)
    target_link_libraries(kov_provider_kit PUBLIC Threads::Threads ${CMAKE_DL_LIBS})
  endif()
endfunction()

function(kov_add_provider name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "KEEP_LOADED;NO_KIT" "" "")
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
  if(NOT arg_NO_KIT)
    kov_provider_kit_target()
    target_link_libraries(${name} PRIVATE kov_provider_kit)
  endif()
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
