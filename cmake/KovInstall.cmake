# The SDK: the import libraries callers link, the version resource, and what `cmake --install`
# puts into a prefix (headers, module, kovctl, import libraries and .def, CMake package config,
# a pkg-config file for callers and one for providers, a toolchain file for consumers of each
# target, the guides and the examples; kit/CMakeLists.txt adds the provider kit's sources and
# archive). The Linux and the Windows install share one prefix without overwriting each other:
# files both install are identical, the rest have names of their own.

include(CMakePackageConfigHelpers)

set(KOV_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)

# FileVersion and ProductVersion of KOV_BR.dll come from the project version.
configure_file(${CMAKE_CURRENT_LIST_DIR}/kov_version.h.in ${KOV_GENERATED_DIR}/kov_version.h @ONLY)
if(WIN32)
  target_include_directories(KOV_BR PRIVATE ${KOV_GENERATED_DIR})
  # Only the module carries the version resource; test programs reuse the string table alone.
  target_compile_definitions(KOV_BR PRIVATE $<$<COMPILE_LANGUAGE:RC>:KOV_MODULE_VERSIONINFO>)
endif()

# kov_broker_sdk: what a program in this tree links to call the broker as an outside program
# would. On Windows the exports are __stdcall names with the decoration stripped (--kill-at),
# so the linker's own import library cannot resolve _kov_Send@4; dlltool -k builds one from the
# .def that maps each decorated name to its undecorated export.
add_library(kov_broker_sdk INTERFACE)
target_link_libraries(kov_broker_sdk INTERFACE kov_headers)
if(WIN32)
  set(KOV_DEF_FILE ${PROJECT_SOURCE_DIR}/src/dispatch/KOV_BR.def)
  set(KOV_IMPORT_LIBRARY ${CMAKE_BINARY_DIR}/sdk/libKOV_BR.dll.a)
  add_custom_command(OUTPUT ${KOV_IMPORT_LIBRARY}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/sdk
    COMMAND ${CMAKE_DLLTOOL} -d ${KOV_DEF_FILE} -l ${KOV_IMPORT_LIBRARY} -k
    DEPENDS ${KOV_DEF_FILE}
    COMMENT "Import library for KOV_BR.dll")
  # The same for MSVC-style linkers (link.exe, lld-link), whose objects ask for
  # __imp__kov_Send@4: llvm-dlltool -k writes short import entries of the kind "undecorate", so
  # the program imports kov_Send. An import library made from the .def by an MSVC librarian
  # would import kov_Send@4, which the DLL does not export.
  find_program(KOV_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
  if(KOV_LLVM_DLLTOOL)
    set(KOV_MSVC_IMPORT_LIBRARY ${CMAKE_BINARY_DIR}/sdk/KOV_BR.lib)
    add_custom_command(OUTPUT ${KOV_MSVC_IMPORT_LIBRARY}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/sdk
      COMMAND ${KOV_LLVM_DLLTOOL} -m i386 -d ${KOV_DEF_FILE} -l ${KOV_MSVC_IMPORT_LIBRARY} -k
      DEPENDS ${KOV_DEF_FILE}
      COMMENT "Import library for KOV_BR.dll (MSVC)")
  else()
    message(WARNING "llvm-dlltool not found (scripts/install-deps.sh installs it): KOV_BR.lib, "
                    "the import library for MSVC, is not built")
  endif()
  add_custom_target(kov_import_library ALL DEPENDS ${KOV_IMPORT_LIBRARY} ${KOV_MSVC_IMPORT_LIBRARY})
  add_dependencies(kov_broker_sdk kov_import_library KOV_BR)
  target_link_libraries(kov_broker_sdk INTERFACE ${KOV_IMPORT_LIBRARY})
else()
  target_link_libraries(kov_broker_sdk INTERFACE KOV_BR)
endif()

# Installed layout (fixed, not GNUInstallDirs: the package config and kovbroker.pc find
# everything relative to themselves, so the prefix can move).
install(FILES ${PROJECT_SOURCE_DIR}/include/kov/kov_broker.h ${PROJECT_SOURCE_DIR}/include/kov/kov_keep_loaded.h
              ${PROJECT_SOURCE_DIR}/include/kov/kov_list.h ${PROJECT_SOURCE_DIR}/include/kov/kov_provider.h
        DESTINATION include/kov)

# The pkg-config package for providers built without CMake: it links the kit's archive, which
# kit/CMakeLists.txt names and installs with the kit's sources.
if(WIN32)
  set(KOV_PROVIDER_PC kovbroker-provider-mingw)
else()
  set(KOV_PROVIDER_PC kovbroker-provider)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/${KOV_PROVIDER_PC}.pc.in
               ${KOV_GENERATED_DIR}/${KOV_PROVIDER_PC}.pc @ONLY)
install(FILES ${KOV_GENERATED_DIR}/${KOV_PROVIDER_PC}.pc DESTINATION lib/pkgconfig)
if(WIN32)
  # install(FILES): install(TARGETS) would also install the linker's unusable import library.
  install(FILES $<TARGET_FILE:KOV_BR> DESTINATION bin)
  install(FILES ${KOV_IMPORT_LIBRARY} ${KOV_MSVC_IMPORT_LIBRARY} ${KOV_DEF_FILE} DESTINATION lib)
  set(KOV_PACKAGE_SYSTEM Windows)
  # A consumer on Linux cross-compiling with MinGW finds the package with CMAKE_PREFIX_PATH alone.
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/consumer-toolchain-mingw-i686.cmake
          DESTINATION share/kovbroker RENAME toolchain-mingw-i686.cmake)
  set(KOV_CALLER_PC kovbroker-mingw)
else()
  install(TARGETS KOV_BR LIBRARY DESTINATION lib)
  set(KOV_PACKAGE_SYSTEM Linux)
  # A consumer building 32-bit programs and providers with the host's compilers.
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/consumer-toolchain-linux-m32.cmake
          DESTINATION share/kovbroker RENAME toolchain-linux-m32.cmake)
  set(KOV_CALLER_PC kovbroker)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/${KOV_CALLER_PC}.pc.in
               ${KOV_GENERATED_DIR}/${KOV_CALLER_PC}.pc @ONLY)
install(FILES ${KOV_GENERATED_DIR}/${KOV_CALLER_PC}.pc DESTINATION lib/pkgconfig)
# The examples, projects a user builds against this prefix (docs/providers.md, docs/callers.md).
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION share/kovbroker/examples)
# The guides, where the man page points: identical for both targets, so one prefix holds them once.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/callers.md
              ${PROJECT_SOURCE_DIR}/docs/providers.md ${PROJECT_SOURCE_DIR}/docs/kovctl.md
              ${PROJECT_SOURCE_DIR}/docs/observability.md
        DESTINATION share/doc/kovbroker)
if(TARGET kovctl)
  install(TARGETS kovctl RUNTIME DESTINATION bin)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/kovctl/kovctl.1 DESTINATION share/man/man1)
  if(NOT WIN32)
    # Where bash-completion looks on demand for a command's completion.
    install(FILES ${PROJECT_SOURCE_DIR}/tools/kovctl/kovctl.bash
            DESTINATION share/bash-completion/completions RENAME kovctl)
  endif()
endif()

# KOVBrokerConfig.cmake is the same for both targets and includes KOVBroker-Linux.cmake or
# KOVBroker-Windows.cmake, whichever fits the consumer's toolchain.
set(KOV_CONFIG_DIR lib/cmake/KOVBroker)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KOVBrokerConfig.cmake.in
  ${KOV_GENERATED_DIR}/KOVBrokerConfig.cmake
  INSTALL_DESTINATION ${KOV_CONFIG_DIR})
write_basic_package_version_file(${KOV_GENERATED_DIR}/KOVBrokerConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion
  # The config file itself refuses a 64-bit consumer, with a message that says why; the version
  # file's own pointer-size check would only print "(32bit)".
  ARCH_INDEPENDENT)
install(FILES ${KOV_GENERATED_DIR}/KOVBrokerConfig.cmake
              ${KOV_GENERATED_DIR}/KOVBrokerConfigVersion.cmake
              ${CMAKE_CURRENT_LIST_DIR}/KOVBroker-${KOV_PACKAGE_SYSTEM}.cmake
              ${CMAKE_CURRENT_LIST_DIR}/provider/KOVBrokerProvider.cmake
              ${CMAKE_CURRENT_LIST_DIR}/provider/kov_provider_exports.map
              ${CMAKE_CURRENT_LIST_DIR}/provider/kov_provider_exports.def
        DESTINATION ${KOV_CONFIG_DIR})
