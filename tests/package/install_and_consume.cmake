# Installs the Linux build into a fresh prefix, then builds and runs a program against that
# prefix twice: once through find_package(KOVBroker), once through pkg-config (kovbroker.pc).
# Inputs: BUILD_DIR, WORK_DIR, CONSUMER_DIR, TOOLCHAIN, GENERATOR, CC.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/package_steps.cmake)

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(installed include/kov/kov_broker.h include/kov/kov_provider.h lib/libKOV_BR.so
                  lib/pkgconfig/kovbroker.pc lib/pkgconfig/kovbroker-provider.pc lib/libkovprovider.a
                  lib/cmake/KOVBroker/kit/kov_kit_posix.c lib/cmake/KOVBroker/kit/kov_kit_win32.c
                  share/kovbroker/toolchain-linux-m32.cmake
                  lib/cmake/KOVBroker/KOVBrokerConfig.cmake
                  lib/cmake/KOVBroker/KOVBrokerConfigVersion.cmake
                  lib/cmake/KOVBroker/KOVBroker-Linux.cmake
                  bin/kovctl share/man/man1/kovctl.1
                  share/bash-completion/completions/kovctl
                  share/doc/kovbroker/kovctl.md share/doc/kovbroker/README.md)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

configure_consumer(${WORK_DIR}/consumer ${TOOLCHAIN} ${prefix})
expect_consumer_report(${WORK_DIR}/consumer/kov_consumer)
expect_provider_exports(${WORK_DIR}/consumer/kov_consumer_provider.so OFF "")

# A 64-bit consumer is told why the package does not fit.
configure_consumer(${WORK_DIR}/consumer64 "" ${prefix} ERROR "32-bit library")

# pkg-config: the flags alone build a 32-bit program that finds the module at run time
# (kovbroker.pc carries -m32 and the run path), with nothing in LD_LIBRARY_PATH.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
unset(ENV{LD_LIBRARY_PATH})
run(pkg-config --cflags --libs kovbroker)
separate_arguments(flags UNIX_COMMAND "${output}")
run(${CC} ${CONSUMER_DIR}/main.c ${flags} -o ${WORK_DIR}/pc_consumer) # -m32 from the flags
expect_consumer_report(${WORK_DIR}/pc_consumer)
message(STATUS "installed package works through find_package and pkg-config")
