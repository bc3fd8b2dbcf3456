# The MSVC route: a caller compiled by clang in MSVC mode against the installed header and
# linked by lld-link against the installed KOV_BR.lib imports exactly the names KOV_BR.dll
# exports. Leaves WORK_DIR/bin/kov_msvc_caller.exe beside KOV_BR.dll, for the run under Wine.
# A provider linked the same way with the package's kov_provider_exports.def (what
# kov_add_provider() adds for MSVC-style tools) exports its entry points undecorated.
# Inputs: BUILD_DIR, WORK_DIR, SOURCE_DIR, PROVIDER_SOURCE, CLANG, LLD_LINK, DLLTOOL, READOBJ.

cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/package_steps.cmake)

foreach(tool CLANG LLD_LINK DLLTOOL READOBJ)
  if("${${tool}}" STREQUAL "" OR "${${tool}}" MATCHES "NOTFOUND$")
    message(FATAL_ERROR "${tool} not found: scripts/install-deps.sh installs clang, lld and llvm")
  endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/bin)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
if(NOT EXISTS ${prefix}/lib/KOV_BR.lib)
  message(FATAL_ERROR "not installed: lib/KOV_BR.lib")
endif()

# No MSVC runtime here: kernel32's one function comes from an import library of our own.
run(${DLLTOOL} -m i386 -d ${SOURCE_DIR}/kernel32.def -l ${WORK_DIR}/kernel32.lib -k)
run(${CLANG} --target=i686-pc-windows-msvc -ffreestanding -Wall -Wextra -Werror
    -I${prefix}/include -c ${SOURCE_DIR}/caller.c -o ${WORK_DIR}/caller.obj)
run(${LLD_LINK} /nologo /nodefaultlib /entry:caller_main /subsystem:console /machine:x86
    /out:${WORK_DIR}/bin/kov_msvc_caller.exe ${WORK_DIR}/caller.obj ${prefix}/lib/KOV_BR.lib
    ${WORK_DIR}/kernel32.lib)
file(COPY ${prefix}/bin/KOV_BR.dll DESTINATION ${WORK_DIR}/bin)

imports_from_broker(${READOBJ} ${WORK_DIR}/bin/kov_msvc_caller.exe imported)
# Sorted export names, out of --coff-exports: one "Name: kov_Send" line per export.
function(exports_of dll out)
  run(${READOBJ} --coff-exports ${dll})
  string(REGEX MATCHALL "Name: [^ \n]+" names "${output}")
  list(TRANSFORM names REPLACE "Name: " "")
  list(SORT names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()
exports_of(${prefix}/bin/KOV_BR.dll exported)
if(NOT imported STREQUAL "kov_DeleteConfirm;kov_Send;kov_SendSync" OR NOT imported STREQUAL exported)
  message(FATAL_ERROR "the MSVC-linked caller imports [${imported}] from KOV_BR.dll, "
                      "which exports [${exported}]")
endif()
message(STATUS "MSVC-linked caller imports ${imported}")

# No C runtime in the provider either: it has no DllMain (/noentry).
run(${CLANG} --target=i686-pc-windows-msvc -ffreestanding -Wall -Wextra -Werror
    -I${prefix}/include -c ${PROVIDER_SOURCE} -o ${WORK_DIR}/provider.obj)
run(${LLD_LINK} /nologo /dll /noentry /nodefaultlib /machine:x86
    /def:${prefix}/lib/cmake/KOVBroker/kov_provider_exports.def
    /out:${WORK_DIR}/kov_msvc_provider.dll ${WORK_DIR}/provider.obj)
exports_of(${WORK_DIR}/kov_msvc_provider.dll exported)
foreach(entry kov_DeleteReceive kov_GetSubSystemInfo kov_Receive)
  if(NOT entry IN_LIST exported)
    message(FATAL_ERROR "the MSVC-linked provider does not export ${entry}: [${exported}]")
  endif()
endforeach()
