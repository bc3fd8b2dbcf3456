# The provider of docs/providers.md, taken from the page as a new user would copy it, built
# against the installed package with the kit, through CMake (kov_add_provider, with the toolchain
# file the package installs) and through pkg-config (kovbroker-provider or -mingw); both must
# export exactly the three entry points, pass `kovctl inspect`, register and answer.
# Inputs: BUILD_DIR, WORK_DIR, DOCS, GENERATOR, WINDOWS, CC, PKG_CONFIG, OBJDUMP, STEP (build,
#         run, or all), EMULATOR (Windows: the Wine wrapper).
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/package_steps.cmake)

set(prefix ${WORK_DIR}/prefix)
set(source ${WORK_DIR}/upper)
set(routes cmake pkg-config)
if(WINDOWS)
  set(suffix .dll)
  set(toolchain ${prefix}/share/kovbroker/toolchain-mingw-i686.cmake)
  set(pc_package kovbroker-provider-mingw)
else()
  set(suffix .so)
  set(toolchain ${prefix}/share/kovbroker/toolchain-linux-m32.cmake)
  set(pc_package kovbroker-provider)
endif()

# The file shown on the page after the line "<!-- file: NAME -->", written into `dir`.
function(extract_from_docs name dir)
  file(READ ${DOCS} page)
  string(FIND "${page}" "<!-- file: ${name} -->\n```" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${DOCS} shows no ${name}")
  endif()
  string(SUBSTRING "${page}" ${at} -1 page)
  string(FIND "${page}" "```" fence)
  string(SUBSTRING "${page}" ${fence} -1 page)
  string(FIND "${page}" "\n" first_line_end)
  math(EXPR body_start "${first_line_end} + 1")
  string(SUBSTRING "${page}" ${body_start} -1 page)
  string(FIND "${page}" "\n```" end)
  if(end EQUAL -1)
    message(FATAL_ERROR "${DOCS}: the block of ${name} does not end")
  endif()
  math(EXPR end "${end} + 1")
  string(SUBSTRING "${page}" 0 ${end} body)
  file(WRITE ${dir}/${name} "${body}")
endfunction()

# Where each route's library lands, and how kovctl is given it.
function(library_of route out_file out_argument)
  set(file ${WORK_DIR}/upper_${route}${suffix})
  if(WINDOWS)
    # Beside kovctl.exe and KOV_BR.dll, found by name as the Windows loader finds it.
    set(file ${prefix}/bin/upper_${route}${suffix})
    set(${out_argument} upper_${route}${suffix} PARENT_SCOPE)
  else()
    set(${out_argument} ${file} PARENT_SCOPE)
  endif()
  set(${out_file} ${file} PARENT_SCOPE)
endfunction()

function(build_step)
  file(REMOVE_RECURSE ${WORK_DIR})
  file(MAKE_DIRECTORY ${source})
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
  foreach(installed ${toolchain} ${prefix}/lib/pkgconfig/${pc_package}.pc)
    if(NOT EXISTS ${installed})
      message(FATAL_ERROR "not installed: ${installed}")
    endif()
  endforeach()
  extract_from_docs(upper.c ${source})
  extract_from_docs(CMakeLists.txt ${source})

  # CMake: the package's own toolchain file and CMAKE_PREFIX_PATH, nothing else.
  library_of(cmake library argument)
  run(${CMAKE_COMMAND} -S ${source} -B ${WORK_DIR}/build -G ${GENERATOR}
      -DCMAKE_TOOLCHAIN_FILE=${toolchain} -DCMAKE_PREFIX_PATH=${prefix})
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
  file(COPY_FILE ${WORK_DIR}/build/upper_provider${suffix} ${library})
  expect_provider_exports(${library} ${WINDOWS} "${OBJDUMP}")

  # pkg-config: the package's flags alone, on a strict C99 compile.
  library_of(pkg-config library argument)
  set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
  run(${PKG_CONFIG} --cflags --libs ${pc_package})
  separate_arguments(flags UNIX_COMMAND "${output}")
  run(${CC} -std=c99 -Wall -Wextra -pedantic -Werror ${source}/upper.c ${flags} -o ${library})
  expect_provider_exports(${library} ${WINDOWS} "${OBJDUMP}")
  message(STATUS "the documented provider builds through CMake and pkg-config")
endfunction()

# ---- trying it with the installed kovctl

set(ENV{KOV_BROKER_REGISTRY} ${WORK_DIR}/registry.db)

function(kovctl rc)
  if(WINDOWS)
    set(command ${EMULATOR} ${prefix}/bin/kovctl.exe)
  else()
    set(command ${prefix}/bin/kovctl)
  endif()
  execute_process(COMMAND ${command} ${ARGN} WORKING_DIRECTORY ${prefix}/bin
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result STREQUAL "${rc}")
    cleanup()
    message(FATAL_ERROR "kovctl ${ARGN}: exit ${result}, expected ${rc}\n${out}${err}")
  endif()
  set(OUT "${out}" PARENT_SCOPE)
endfunction()

# The run's keys out of the registry again (Windows: the test prefix's registry is shared).
function(cleanup)
  foreach(route IN LISTS routes)
    library_of(${route} library argument)
    if(WINDOWS)
      execute_process(COMMAND ${EMULATOR} ${prefix}/bin/kovctl.exe remove kov_package_upper_${route}
                              ${argument}
                      WORKING_DIRECTORY ${prefix}/bin OUTPUT_QUIET ERROR_QUIET)
    else()
      execute_process(COMMAND ${prefix}/bin/kovctl remove kov_package_upper_${route} ${argument}
                      OUTPUT_QUIET ERROR_QUIET)
    endif()
  endforeach()
endfunction()

function(expect_json expected)
  string(JSON value ERROR_VARIABLE problem GET "${OUT}" ${ARGN})
  if(problem OR NOT value STREQUAL "${expected}")
    cleanup()
    message(FATAL_ERROR "${ARGN} is '${value}' (${problem}), expected '${expected}':\n${OUT}")
  endif()
endfunction()

function(run_step)
  cleanup()
  foreach(route IN LISTS routes)
    message(STATUS "trying the provider built through ${route}")
    library_of(${route} library argument)
    set(key kov_package_upper_${route})
    kovctl(0 inspect ${argument} --json)
    expect_json(ON accepted)
    expect_json("Upper-case example provider" product)
    expect_json(29952 sets 0 set)
    kovctl(0 register ${key} ${argument})
    # "hi" in upper case, answered on the caller's thread and through kov_SendSync.
    kovctl(0 send --set 0x7500 --hex "68 69" --sync --json)
    expect_json(4849 confirm payload)
    # Code 1: the kit's worker thread delivers.
    kovctl(0 send --set 0x7500 --code 1 --hex "6f 6b" --json)
    expect_json(4f4b confirm payload)
    # An empty text: the provider's own status, in a header-only confirm.
    kovctl(2 send --set 0x7500 --json)
    expect_json(1000 status)
    expect_json(44 confirm totalLength)
    kovctl(2 send --set 0x7500)
    if(NOT OUT MATCHES "status: provider status 1000")
      cleanup()
      message(FATAL_ERROR "send without a payload printed:\n${OUT}")
    endif()
    kovctl(2 send --set 0x7500 --code 2 --hex 61 --json)
    expect_json(6 status)
    kovctl(0 remove ${key} ${argument})
  endforeach()
  message(STATUS "the documented provider passes inspect, registers and answers")
endfunction()

if(STEP STREQUAL "build" OR STEP STREQUAL "all")
  build_step()
endif()
if(STEP STREQUAL "run" OR STEP STREQUAL "all")
  run_step()
endif()
