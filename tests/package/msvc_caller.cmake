# The MSVC route, with clang in MSVC mode and lld-link: a caller built through find_package
# against the installed package links KOV_BR.lib and imports exactly the names KOV_BR.dll
# exports, and a provider built with kov_add_provider() exports its entry points undecorated.
# Leaves WORK_DIR/bin/kov_msvc_caller.exe beside KOV_BR.dll, for the run under Wine.
# Inputs: BUILD_DIR, WORK_DIR, CONSUMER_DIR (msvc_caller/), PROVIDER_SOURCE, GENERATOR, CLANG,
#         LLD_LINK, DLLTOOL, READOBJ.
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
run(${DLLTOOL} -m i386 -d ${CONSUMER_DIR}/kernel32.def -l ${WORK_DIR}/kernel32.lib -k)
set(build ${WORK_DIR}/consumer)
configure_consumer(${build} ${CONSUMER_DIR}/toolchain-clang-msvc.cmake ${prefix}
                   DEFINE CMAKE_C_COMPILER=${CLANG} KERNEL32_LIB=${WORK_DIR}/kernel32.lib
                          PROVIDER_SOURCE=${PROVIDER_SOURCE})
file(COPY ${build}/kov_msvc_caller.exe ${prefix}/bin/KOV_BR.dll DESTINATION ${WORK_DIR}/bin)

# Sorted export names, out of --coff-exports: one "Name: kov_Send" line per export.
function(exports_of dll out)
  run(${READOBJ} --coff-exports ${dll})
  string(REGEX MATCHALL "Name: [^ \n]+" names "${output}")
  list(TRANSFORM names REPLACE "Name: " "")
  list(SORT names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

imports_from_broker(${READOBJ} ${build}/kov_msvc_caller.exe imported)
exports_of(${prefix}/bin/KOV_BR.dll exported)
if(NOT imported STREQUAL "kov_DeleteConfirm;kov_Send;kov_SendSync" OR NOT imported STREQUAL exported)
  message(FATAL_ERROR "the MSVC-linked caller imports [${imported}] from KOV_BR.dll, "
                      "which exports [${exported}]")
endif()

exports_of(${build}/kov_msvc_provider.dll exported)
foreach(entry kov_DeleteReceive kov_GetSubSystemInfo kov_Receive)
  if(NOT entry IN_LIST exported)
    message(FATAL_ERROR "the MSVC-linked provider does not export ${entry}: [${exported}]")
  endif()
endforeach()
message(STATUS "MSVC-linked caller imports ${imported}; provider exports ${exported}")
