# Steps shared by the package tests (install_and_consume.cmake, one_prefix.cmake).

# Runs a command; stops the test with its output when it fails. Its stdout lands in `output`.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

# Configures the consumer project CONSUMER_DIR in `dir` with `toolchain` against `prefix` (and
# the cache settings after DEFINE); the configure must fail with a message matching ERROR when
# one is given, else succeed and build.
function(configure_consumer dir toolchain prefix)
  cmake_parse_arguments(arg "" "ERROR" "DEFINE" ${ARGN})
  list(TRANSFORM arg_DEFINE PREPEND "-D")
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${dir} -G ${GENERATOR}
                          -DCMAKE_TOOLCHAIN_FILE=${toolchain} -DCMAKE_PREFIX_PATH=${prefix}
                          ${arg_DEFINE}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(arg_ERROR)
    if(rc EQUAL 0 OR NOT err MATCHES "${arg_ERROR}")
      message(FATAL_ERROR "configure in ${dir} did not fail with '${arg_ERROR}':\n${out}${err}")
    endif()
    return()
  endif()
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "configure in ${dir} failed:\n${out}${err}")
  endif()
  run(${CMAKE_COMMAND} --build ${dir})
endfunction()

# The consumer's report against a fresh registry: only the broker's own provider.
set(KOV_CONSUMER_EXPECTED "status 0 providers 1\nreleased 0\n")

# Runs a Linux consumer program with an empty registry and checks what it printed.
function(expect_consumer_report program)
  set(ENV{KOV_BROKER_REGISTRY} ${WORK_DIR}/registry.db)
  run(${program})
  if(NOT output STREQUAL KOV_CONSUMER_EXPECTED)
    message(FATAL_ERROR "${program} printed:\n${output}")
  endif()
endfunction()

# Checks that `library` exports exactly a provider's three entry points.
function(expect_provider_exports library windows objdump)
  execute_process(COMMAND ${CMAKE_COMMAND} -DLIBRARY=${library} -DWINDOWS=${windows}
                          -DOBJDUMP=${objdump} -DNM=nm
                          -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/check_provider_exports.cmake
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "provider built with kov_add_provider:\n${out}${err}")
  endif()
endfunction()

# The names a Windows program imports from KOV_BR.dll, sorted, out of llvm-readobj --coff-imports:
# "Import {\n  Name: KOV_BR.dll\n ...\n  Symbol: kov_Send (1)\n ...}".
function(imports_from_broker readobj program out)
  run(${readobj} --coff-imports ${program})
  string(REGEX MATCH "Name: KOV_BR.dll\n[^}]*" block "${output}")
  string(REGEX MATCHALL "Symbol: [^ \n]+" names "${block}")
  list(TRANSFORM names REPLACE "Symbol: " "")
  list(SORT names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()
