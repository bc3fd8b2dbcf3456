# Installs the build into a fresh prefix, then builds and runs a program against that prefix
# twice: once through find_package(KOVBroker), once through pkg-config (kovbroker.pc).
# Inputs: BUILD_DIR, WORK_DIR, CONSUMER_DIR, TOOLCHAIN, GENERATOR, CC.

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(installed include/kov/kov_broker.h lib/libKOV_BR.so lib/pkgconfig/kovbroker.pc
                  lib/cmake/KOVBroker/KOVBrokerConfig.cmake
                  lib/cmake/KOVBroker/KOVBrokerConfigVersion.cmake
                  bin/kovctl share/man/man1/kovctl.1
                  share/bash-completion/completions/kovctl)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

# An empty registry: the broker's own provider is the only one.
set(ENV{KOV_BROKER_REGISTRY} ${WORK_DIR}/registry.db)
set(expected "status 0 providers 1\nreleased 0\n")

run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/kov_consumer)
if(NOT output STREQUAL expected)
  message(FATAL_ERROR "find_package consumer printed:\n${output}")
endif()
# kov_add_provider: exactly the three entry points exported.
execute_process(COMMAND ${CMAKE_COMMAND} -DLIBRARY=${WORK_DIR}/consumer/kov_consumer_provider.so
                        -DWINDOWS=OFF -DNM=nm -P ${CMAKE_CURRENT_LIST_DIR}/check_provider_exports.cmake
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "provider built with kov_add_provider:\n${out}${err}")
endif()

# A 64-bit consumer is told why the package does not fit.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer64
                        -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT err MATCHES "32-bit library")
  message(FATAL_ERROR "a 64-bit configure did not say the package is 32-bit:\n${out}${err}")
endif()

set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
run(pkg-config --cflags --libs kovbroker)
separate_arguments(flags UNIX_COMMAND "${output}")
run(${CC} -m32 ${CONSUMER_DIR}/main.c ${flags} -Wl,-rpath,${prefix}/lib -o ${WORK_DIR}/pc_consumer)
run(${WORK_DIR}/pc_consumer)
if(NOT output STREQUAL expected)
  message(FATAL_ERROR "pkg-config consumer printed:\n${output}")
endif()
message(STATUS "installed package works through find_package and pkg-config")
