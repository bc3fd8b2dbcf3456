# The README's install-only build: the linux preset configured with -DBUILD_TESTING=OFF into a
# folder of its own plans the module, kovctl and the kit, and nothing of the tests or GoogleTest.
# Inputs: SOURCE_DIR, WORK_DIR.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/package_steps.cmake)

file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --preset linux -B ${WORK_DIR} -DBUILD_TESTING=OFF
                WORKING_DIRECTORY ${SOURCE_DIR} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the install-only configure failed:\n${out}${err}")
endif()
# A dry run lists every step the build would take.
run(${CMAKE_COMMAND} --build ${WORK_DIR} -- -n)
foreach(planned libKOV_BR.so bin/kovctl libkovprovider.a)
  if(NOT output MATCHES "${planned}")
    message(FATAL_ERROR "the install-only build does not make ${planned}:\n${output}")
  endif()
endforeach()
if(output MATCHES "googletest|gtest|tests/")
  string(REGEX MATCH "[^\n]*(googletest|gtest|tests/)[^\n]*" step "${output}")
  message(FATAL_ERROR "the install-only build still builds tests: ${step}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
