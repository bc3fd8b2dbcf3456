# The Linux and the Windows build installed into one prefix: neither overwrites the other (in
# either order), and a Linux consumer and a MinGW consumer (configured with the installed
# toolchain file and CMAKE_PREFIX_PATH alone) each get their own target's package.
# Inputs: LINUX_BUILD_DIR, WINDOWS_BUILD_DIR, WORK_DIR, CONSUMER_DIR, LINUX_TOOLCHAIN, GENERATOR,
#         OBJDUMP (MinGW's), READOBJ, MINGW_CC, PKG_CONFIG.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/package_steps.cmake)

if(NOT EXISTS ${LINUX_BUILD_DIR}/cmake_install.cmake OR NOT EXISTS ${LINUX_BUILD_DIR}/bin/libKOV_BR.so)
  message(FATAL_ERROR "no Linux build in ${LINUX_BUILD_DIR}: build the linux preset first "
                      "(cmake --preset linux && cmake --build --preset linux), or set KOV_LINUX_BUILD_DIR")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# Every file under `prefix` with its SHA-256.
function(snapshot prefix out)
  file(GLOB_RECURSE files RELATIVE ${prefix} ${prefix}/*)
  set(rows "")
  foreach(f IN LISTS files)
    file(SHA256 ${prefix}/${f} hash)
    list(APPEND rows "${f}=${hash}")
  endforeach()
  set(${out} "${rows}" PARENT_SCOPE)
endfunction()

# Installs `first`, then `second` into a new prefix; every file of the first must be left as it
# was.
function(install_both prefix first second)
  run(${CMAKE_COMMAND} --install ${first} --prefix ${prefix})
  snapshot(${prefix} before)
  run(${CMAKE_COMMAND} --install ${second} --prefix ${prefix})
  snapshot(${prefix} after)
  foreach(row IN LISTS before)
    if(NOT row IN_LIST after)
      string(REGEX REPLACE "=.*" "" file "${row}")
      message(FATAL_ERROR "installing ${second} after ${first} changed ${file}")
    endif()
  endforeach()
endfunction()

# Windows first: a Linux consumer of a Windows-only prefix is told what is missing.
set(prefix ${WORK_DIR}/windows-then-linux)
run(${CMAKE_COMMAND} --install ${WINDOWS_BUILD_DIR} --prefix ${prefix})
configure_consumer(${WORK_DIR}/linux-early ${LINUX_TOOLCHAIN} ${prefix}
                   ERROR "holds KOV Broker for Windows, not for Linux")
file(REMOVE_RECURSE ${prefix})
install_both(${prefix} ${WINDOWS_BUILD_DIR} ${LINUX_BUILD_DIR})

# Linux first, and the consumers against that prefix.
set(prefix ${WORK_DIR}/linux-then-windows)
install_both(${prefix} ${LINUX_BUILD_DIR} ${WINDOWS_BUILD_DIR})

configure_consumer(${WORK_DIR}/linux-consumer ${LINUX_TOOLCHAIN} ${prefix})
expect_consumer_report(${WORK_DIR}/linux-consumer/kov_consumer)
expect_provider_exports(${WORK_DIR}/linux-consumer/kov_consumer_provider.so OFF "")

set(mingw_toolchain ${prefix}/share/kovbroker/toolchain-mingw-i686.cmake)
configure_consumer(${WORK_DIR}/mingw-consumer ${mingw_toolchain} ${prefix})
imports_from_broker(${READOBJ} ${WORK_DIR}/mingw-consumer/kov_consumer.exe imported)
if(NOT imported STREQUAL "kov_DeleteConfirm;kov_SendSync")
  message(FATAL_ERROR "the MinGW consumer imports [${imported}] from KOV_BR.dll")
endif()
expect_provider_exports(${WORK_DIR}/mingw-consumer/kov_consumer_provider.dll ON ${OBJDUMP})

# The same program through pkg-config (kovbroker-mingw): the same imports, no MinGW runtime DLL.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
run(${PKG_CONFIG} --cflags --libs kovbroker-mingw)
separate_arguments(flags UNIX_COMMAND "${output}")
set(pc_consumer ${WORK_DIR}/pc_consumer.exe)
run(${MINGW_CC} ${CONSUMER_DIR}/main.c ${flags} -o ${pc_consumer})
imports_from_broker(${READOBJ} ${pc_consumer} imported)
if(NOT imported STREQUAL "kov_DeleteConfirm;kov_SendSync")
  message(FATAL_ERROR "the pkg-config MinGW consumer imports [${imported}] from KOV_BR.dll")
endif()
run(${OBJDUMP} -p ${pc_consumer})
include(${CMAKE_CURRENT_LIST_DIR}/../no_mingw_runtime.cmake)
expect_no_mingw_runtime("${output}" ${pc_consumer})
message(STATUS "one prefix serves a Linux and a MinGW consumer")
