# Runs kovctl as a user would and checks its exit codes, its --json output and its one-line
# errors. Called by CTest with KOVCTL, EMULATOR (Wine wrapper or empty), PROVIDER and THREADED
# (the test providers' paths as `register` takes them), SCENARIO, WORK_DIR and FRESH_REGISTRY
# (Linux: the registry file to start from empty).

set(KEY kovctl_test_immediate)
set(THREADED_KEY kovctl_test_threaded)
set(REFUSING_KEY kovctl_test_refusing)
set(KV_KEY kovctl_test_kv)

# Takes out what the registration scenario adds, so a failed run leaves the shared Wine registry
# as it found it.
function(cleanup)
  set(keys "")
  if(SCENARIO STREQUAL "inspect")
    set(keys kovctl_swapped)
  elseif(SCENARIO STREQUAL "registration")
    set(keys ${KEY} kovctl_second kovctl_relative ${THREADED_KEY} ${REFUSING_KEY})
  elseif(SCENARIO STREQUAL "session")
    set(keys ${KV_KEY} ${THREADED_KEY})
  elseif(SCENARIO MATCHES "^load_|faults$")
    set(keys kovctl_crash kovctl_hang kovctl_good kovctl_answer kovctl_malformed kovctl_other)
  endif()
  foreach(key ${keys})
    execute_process(COMMAND ${EMULATOR} ${KOVCTL} remove ${key} OUTPUT_QUIET ERROR_QUIET)
  endforeach()
endfunction()

function(fail message)
  cleanup()
  message(FATAL_ERROR "${message}")
endfunction()

# With --json, the one object printed must agree with the exit status: its exitCode is the exit
# code, and its status is 0 exactly when the exit code is.
function(expect_json_agrees result out args)
  list(FIND args --json asked)
  if(asked EQUAL -1)
    return()
  endif()
  string(JSON code ERROR_VARIABLE problem GET "${out}" exitCode)
  if(problem OR NOT code STREQUAL "${result}")
    fail("kovctl ${args}: exit ${result}, but its JSON says exitCode '${code}' (${problem})\n${out}")
  endif()
  string(JSON status ERROR_VARIABLE no_status GET "${out}" status)
  if(no_status)
    return() # an error object: no status to agree
  endif()
  set(status_ok OFF)
  set(exit_ok OFF)
  if(status EQUAL 0)
    set(status_ok ON)
  endif()
  if(result EQUAL 0)
    set(exit_ok ON)
  endif()
  if(NOT status_ok STREQUAL exit_ok)
    fail("kovctl ${args}: exit ${result} with status ${status}\n${out}")
  endif()
endfunction()

# Runs kovctl with ARGN and expects exit code `rc`; leaves OUT and ERR in the caller's scope.
function(kovctl rc)
  execute_process(COMMAND ${EMULATOR} ${KOVCTL} ${ARGN}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result STREQUAL "${rc}")
    fail("kovctl ${ARGN}: exit ${result}, expected ${rc}\nstdout: ${out}\nstderr: ${err}")
  endif()
  expect_json_agrees("${result}" "${out}" "${ARGN}")
  set(OUT "${out}" PARENT_SCOPE)
  set(ERR "${err}" PARENT_SCOPE)
  set(LAST "${ARGN}" PARENT_SCOPE)
endfunction()

# As kovctl(), with KOV_BROKER_REGISTRY set to `registry` for this run only.
function(kovctl_with_registry rc registry)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env "KOV_BROKER_REGISTRY=${registry}"
                          ${EMULATOR} ${KOVCTL} ${ARGN}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result STREQUAL "${rc}")
    fail("KOV_BROKER_REGISTRY='${registry}' kovctl ${ARGN}: exit ${result}, expected ${rc}\n"
         "stdout: ${out}\nstderr: ${err}")
  endif()
  expect_json_agrees("${result}" "${out}" "${ARGN}")
  set(OUT "${out}" PARENT_SCOPE)
  set(ERR "${err}" PARENT_SCOPE)
  set(LAST "${ARGN}" PARENT_SCOPE)
endfunction()

# The error object of a failed run with --json: schema 1, the exit code, and `fragment` in it.
function(expect_json_error code fragment)
  expect_json(1 schema)
  expect_json(${code} exitCode)
  json(error error)
  string(FIND "${error}" "${fragment}" found)
  if(found EQUAL -1)
    fail("kovctl ${LAST}: error '${error}' does not say '${fragment}'")
  endif()
endfunction()

# A text member of the last JSON output (named by ARGN) holds `fragment`.
function(expect_json_fragment fragment)
  json(value ${ARGN})
  string(FIND "${value}" "${fragment}" at)
  if(at EQUAL -1)
    fail("kovctl ${LAST}: ${ARGN} '${value}' does not say '${fragment}'")
  endif()
endfunction()

# The number of elements of an array in the last JSON output.
function(expect_json_length expected)
  string(JSON length ERROR_VARIABLE problem LENGTH "${OUT}" ${ARGN})
  if(problem OR NOT length EQUAL expected)
    fail("kovctl ${LAST}: ${ARGN} has '${length}' elements, expected ${expected} (${problem})\n${OUT}")
  endif()
endfunction()

# A member of the last JSON output that is null.
function(expect_json_null)
  string(JSON type ERROR_VARIABLE problem TYPE "${OUT}" ${ARGN})
  if(problem OR NOT type STREQUAL "NULL")
    fail("kovctl ${LAST}: ${ARGN} is not null (${problem})\nstdout: ${OUT}")
  endif()
endfunction()

# Reads a member of the last JSON output into `var`.
function(json var)
  string(JSON value ERROR_VARIABLE problem GET "${OUT}" ${ARGN})
  if(problem)
    fail("kovctl ${LAST}: no ${ARGN} in its JSON (${problem})\nstdout: ${OUT}")
  endif()
  set(${var} "${value}" PARENT_SCOPE)
endfunction()

function(expect_json expected)
  json(value ${ARGN})
  if(NOT value STREQUAL "${expected}")
    fail("kovctl ${LAST}: ${ARGN} is '${value}', expected '${expected}'\nstdout: ${OUT}")
  endif()
endfunction()

# A broker status: exit 2 and the status with its name in the JSON object.
function(expect_status code name)
  kovctl(2 ${ARGN} --json)
  expect_json(${code} status)
  expect_json(${name} statusName)
  set(OUT "${OUT}" PARENT_SCOPE)
  set(LAST "${LAST}" PARENT_SCOPE)
endfunction()

# A bad command line: exit 1, nothing on stdout, one line on stderr that says what is wrong.
function(expect_usage_error fragment)
  kovctl(1 ${ARGN})
  string(STRIP "${ERR}" line)
  string(FIND "${line}" "\n" newline)
  string(FIND "${line}" "${fragment}" found)
  if(NOT OUT STREQUAL "" OR NOT newline EQUAL -1 OR found EQUAL -1 OR NOT line MATCHES "^kovctl: ")
    fail("kovctl ${ARGN}: expected one line with '${fragment}'\nstdout: ${OUT}\nstderr: ${ERR}")
  endif()
endfunction()

function(scenario_usage)
  expect_usage_error("unknown command 'bogus'" bogus)
  expect_usage_error("no command given")
  expect_usage_error("unknown option '--frob'" list --frob)
  expect_usage_error("missing argument PATH for register" register onlykey)
  expect_usage_error("missing argument TAG for check-lang" check-lang)
  expect_usage_error("unexpected argument 'extra' for lang" lang extra)
  expect_usage_error("bad number '12x' for --set" send --set 12x)
  expect_usage_error("bad number '0x100000000' for --provider" send --provider 0x100000000)
  expect_usage_error("bad number '-1' for --code" send --code=-1)
  expect_usage_error("missing value for --code" send --code)
  expect_usage_error("bad version '1' for --version" send --version 1)
  expect_usage_error("bad version '1.70000' for --version" send --version 1.70000)
  expect_usage_error("bad hex payload '0g'" send --hex 0g)
  expect_usage_error("bad hex payload '01 2 03'" send --hex "01 2 03")
  expect_usage_error("bad hex payload '123'" send --hex 123)
  expect_usage_error("cannot read file '${WORK_DIR}/missing.bin'" send --file ${WORK_DIR}/missing.bin)
  expect_usage_error("give the payload once" send --hex 01 --file ${WORK_DIR}/missing.bin)
  expect_usage_error("--set belongs to the send command" list --set 1)
  expect_usage_error("--loaded-only belongs to the list command" registry --loaded-only)
  expect_usage_error("missing argument KEY for remove" remove)
  expect_usage_error("unexpected argument 'extra' for remove" remove k /x.so extra)

  # Help for the tool and for each command, also as "help COMMAND".
  kovctl(0 --help)
  if(NOT OUT MATCHES "^usage: kovctl " OR NOT OUT MATCHES "check-lang TAG")
    fail("kovctl --help: unexpected text\n${OUT}")
  endif()
  # The tool's help, the man page and the completion name every command.
  file(READ ${KOVCTL_SOURCE_DIR}/kovctl.1 man)
  file(READ ${KOVCTL_SOURCE_DIR}/kovctl.bash completion)
  foreach(command list info stats reload register remove lang check-lang send inspect registry
                  session version)
    string(REPLACE "-" "\\\\-" man_command "${command}")
    if(NOT OUT MATCHES "\n  ${command}[ \n]" OR NOT man MATCHES "\n\\.BI? ${man_command}[ \n]"
       OR NOT completion MATCHES "[\" ]${command}[\" ]")
      fail("the command ${command} is missing from --help, the man page or the completion")
    endif()
  endforeach()
  foreach(option --json --sync --module --timeout --help --version --loaded-only --wide
                 --stop-on-error --user --machine)
    string(REPLACE "-" "\\\\-" man_option "${option}")
    if(NOT OUT MATCHES "${option}" OR NOT man MATCHES "${man_option}"
       OR NOT completion MATCHES "${option}")
      fail("the option ${option} is missing from --help, the man page or the completion")
    endif()
  endforeach()
  foreach(command list info stats reload register remove lang check-lang send inspect registry
                  session version)
    kovctl(0 ${command} --help)
    if(NOT OUT MATCHES "^usage: kovctl ${command}")
      fail("kovctl ${command} --help: unexpected text\n${OUT}")
    endif()
  endforeach()
  kovctl(0 help send)
  if(NOT OUT MATCHES "^usage: kovctl send")
    fail("kovctl help send: unexpected text\n${OUT}")
  endif()

  kovctl(3 --module ${WORK_DIR}/no_such_module list)
  # The loader's own reason follows the module's name.
  if(NOT ERR MATCHES "^kovctl: cannot load the broker module '[^']+no_such_module': [^\n]+\n$")
    fail("kovctl --module: unexpected error\n${ERR}")
  endif()

  # Every usage line names the options every command takes.
  foreach(command list info stats reload register lang check-lang send session version)
    kovctl(0 ${command} --help)
    string(REGEX MATCH "^usage: [^\n]*(\n  [^\n]*)*" usage "${OUT}")
    if(NOT usage MATCHES "--module PATH" OR NOT usage MATCHES "--timeout MS")
      fail("kovctl ${command} --help: usage line without --module or --timeout\n${OUT}")
    endif()
  endforeach()

  # --version and version: kovctl's own and the module's; send keeps --version for the set's.
  foreach(asked --version version)
    kovctl(0 ${asked})
    if(NOT OUT MATCHES "^kovctl [0-9]+\\.[0-9]+\\.[0-9]+\nmodule: .*\nmodule version: KOV Broker")
      fail("kovctl ${asked}: unexpected text\n${OUT}")
    endif()
  endforeach()
  kovctl(0 --version --json)
  expect_json(1 schema)
  expect_json(version command)
  expect_json("KOV Broker message broker 1.0" module)
  expect_json(1.0 moduleRecordVersion)
  json(own kovctl)
  if(NOT own MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
    fail("kovctl --version --json: kovctl is '${own}'")
  endif()
  kovctl(3 --version --json --module ${WORK_DIR}/no_such_module)
  expect_json_null(module)
  expect_json(${own} kovctl)

  # With --json, failures are one JSON object on stdout too.
  kovctl(1 bogus --json)
  expect_json_error(1 "unknown command 'bogus'")
  expect_json_null(command)
  kovctl(1 send --json --code)
  expect_json_error(1 "missing value for --code")
  expect_json(send command)
  kovctl(3 --module ${WORK_DIR}/no_such_module list --json)
  expect_json_error(3 "cannot load the broker module")
  expect_json(list command)
  expect_usage_error("bad version '1' for --set" send --set 0x100:1)
  expect_usage_error("name two versions of the set" send --set 0x6a00:1.0 --version 2.0)
endfunction()

function(scenario_broker)
  kovctl(0 list --json)
  expect_json(1 count)
  expect_json("KOV Broker message broker 1.0" providers 0 product)
  expect_json("KOV Broker open-source project" providers 0 maker)
  expect_json("Copyright (c) 2026 KOV Broker team." providers 0 copyright)
  json(sets providers 0 sets)
  string(JSON set_count LENGTH "${sets}")
  if(NOT set_count EQUAL 2)
    fail("list: the broker provider serves ${set_count} sets, expected 2\n${OUT}")
  endif()
  expect_json(0 providers 0 sets 0 set)
  expect_json(65535 providers 0 sets 1 set)
  expect_json(1.0 providers 0 sets 1 version)
  json(stamp providers 0 timestamp)
  if(NOT stamp MATCHES "^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\\.[0-9][0-9][0-9][-+][0-9][0-9][0-9][0-9]$")
    fail("list: malformed timestamp '${stamp}'")
  endif()

  kovctl(0 info --json)
  expect_json("KOV Broker message broker 1.0" product)
  expect_json("Copyright (c) 2026 KOV Broker team." copyright)

  kovctl(0 lang --json)
  expect_json("en|US" language)
  kovctl(0 lang)
  string(STRIP "${OUT}" text)
  if(NOT text STREQUAL "en|US")
    fail("lang: printed '${OUT}'")
  endif()

  kovctl(0 check-lang en|US --json)
  expect_json(STATUS_OK statusName)
  expect_status(34 STATUS_LANGUAGE_MISMATCH check-lang en|us)
  expect_status(34 STATUS_LANGUAGE_MISMATCH check-lang "en|US ")

  # Errors the broker answers with a header-only confirm.
  expect_status(4 STATUS_UNKNOWN_PROVIDER send --provider 4000000)
  expect_json(44 confirm totalLength)
  expect_json(4000000 confirm provider)
  expect_status(4 STATUS_UNKNOWN_PROVIDER send --provider 4000000 --sync)
  expect_status(5 STATUS_UNKNOWN_SET send --provider 0 --set 7)
  expect_status(6 STATUS_UNKNOWN_FUNCTION send --code 9)
  expect_status(25 STATUS_BAD_VERSION send --version 2.0)
  expect_status(6 STATUS_UNKNOWN_FUNCTION send --set 0xffff --code 1 --sync)
  expect_status(10 STATUS_PROVIDER_LOAD_FAILED register kovctl_missing ${WORK_DIR}/no_such_provider)
  expect_status(7 STATUS_DEREGISTER_FAILED remove kovctl_missing ${WORK_DIR}/no_such_provider)
  expect_json_fragment("there is no provider key 'kovctl_missing'" reason)

  # Each run is a new process: its counters hold just the stats request itself.
  kovctl(0 stats --json)
  expect_json(108 record length)
  expect_json(1 record versionMajor)
  expect_json(2 statistics setCount)
  expect_json(1 statistics sendCalls)
  expect_json(1 statistics totalCalls)
  expect_json(0 statistics sendFailed)
  expect_json(0 statistics syncCalls)
  json(allocated statistics bytesAllocated)
  json(in_use statistics bytesInUse)
  json(freed statistics bytesFreed)
  math(EXPR balance "${allocated} - ${freed}")
  if(allocated EQUAL 0 OR NOT in_use EQUAL balance)
    fail("stats: bytes allocated ${allocated}, in use ${in_use}, freed ${freed}")
  endif()
  kovctl(0 stats --sync --json)
  expect_json(1 statistics syncCalls)
  expect_json(0 statistics sendCalls)
  expect_json(1 statistics syncWaiting)

  # The same request through send: the raw record, length 108 and version 1.0 first.
  kovctl(0 send --code 2 --json)
  expect_json(108 confirm payloadLength)
  json(payload confirm payload)
  if(NOT payload MATCHES "^6c00000001000000")
    fail("send --code 2: payload ${payload}")
  endif()

  kovctl(0 reload --json)
  expect_json(0 status)
endfunction()

function(scenario_registration)
  cleanup()
  kovctl(0 register ${KEY} ${PROVIDER} --json)
  expect_json(${KEY} key)
  json(registered path)
  expect_status(11 STATUS_ALREADY_REGISTERED register ${KEY} ${PROVIDER})
  expect_json_fragment("exists already" reason)
  expect_json("${registered}" holds 0)

  # list: each provider with the key and the library it came from; the broker's own has neither.
  kovctl(0 list --json)
  expect_json(2 count)
  expect_json(0 providers 0 sets 0 set)
  expect_json_null(providers 0 key)
  expect_json_null(providers 0 path)
  expect_json("Immediate test provider" providers 1 product)
  expect_json(256 providers 1 sets 0 set)
  expect_json(${KEY} providers 1 key)
  expect_json("${registered}" providers 1 path)
  expect_json_length(0 notLoaded)
  json(handle providers 1 handle)
  # Text: the registry first, then a table that fits 80 columns, a word for the broker's own
  # provider; --wide adds the path and the rest.
  kovctl(0 list)
  if(NOT OUT MATCHES "^registry: [^\n]+\nHANDLE +KEY +FUNCTION SETS +PRODUCT\n[0-9]+ +\\(broker\\) +0x0 v1\\.0, 0xffff v1\\.0 +KOV Broker[^\n]*\n${handle} +${KEY} +0x100 v1\\.0 +Immediate test provider\n$")
    fail("list: unexpected narrow table\n${OUT}")
  endif()
  string(REGEX MATCH "[^\n]{81}" too_wide "${OUT}")
  if(too_wide)
    fail("list: a line is wider than 80 columns\n${OUT}")
  endif()
  kovctl(0 list --wide)
  if(NOT OUT MATCHES "\n${handle} +${KEY} +[^\n]*kov_test_immediate[^\n]* +0x100 v1\\.0 +Immediate test provider +KOV tests")
    fail("list --wide: the provider's row lacks its path and the rest\n${OUT}")
  endif()

  # A relative path is stored as the full path of the file it names here, and said so.
  kovctl(0 register kovctl_relative ./${THREE_NAME} --json)
  json(full path)
  expect_json(./${THREE_NAME} givenPath)
  expect_json_fragment("the path is relative; registered as ${full}" notes 0)
  if(NOT full MATCHES "^(/|[A-Za-z]:)" OR NOT full MATCHES "${THREE_NAME}$")
    fail("register: relative path stored as '${full}'")
  endif()
  # A second provider of a function set is registered with a warning that names the first.
  kovctl(0 register kovctl_second ${PROVIDER} --json)
  expect_json_fragment("key '${KEY}' (${registered}) serves function set 0x100 already" warnings 0)
  kovctl(3 send --set 0x100 --json)
  expect_json_error(3 "several providers serve set 0x100")
  expect_json_fragment("(key '${KEY}')" error)
  expect_json_fragment("(key 'kovctl_second')" error)
  # remove KEY takes every library of the key; a relative path compares as the full one.
  kovctl(0 remove kovctl_second --json)
  expect_json("${registered}" removed 0)
  kovctl(0 remove kovctl_relative ./sub/../${THREE_NAME} --json)
  expect_json("${full}" removed 0)
  expect_status(7 STATUS_DEREGISTER_FAILED remove ${KEY} ${WORK_DIR}/not_registered_here)
  expect_json_fragment("lists no library" reason)
  expect_json("${registered}" holds 0)

  # Echo (code 0) through both send functions, from hex and from a file.
  foreach(mode "" --sync)
    kovctl(0 send --provider ${handle} --set 0x100 --hex "01 02 ff 10" ${mode} --json)
    expect_json(0102ff10 confirm payload)
    expect_json(48 confirm totalLength)
    expect_json(${handle} confirm provider)
    expect_json(256 confirm functionSet)
  endforeach()
  # In text, the set as typed; kov_SendSync's result is no status, so it is not shown.
  kovctl(0 send --provider ${handle} --set 0x100 --sync)
  if(OUT MATCHES "result:" OR NOT OUT MATCHES "\nfunctionSet: 256 \\(0x100\\)\n")
    fail("send --sync: unexpected text\n${OUT}")
  endif()
  file(WRITE ${WORK_DIR}/payload.bin "hello")
  kovctl(0 send --provider ${handle} --set 0x100 --file ${WORK_DIR}/payload.bin --json)
  expect_json(68656c6c6f confirm payload)
  # --file - reads standard input, bytes as they are.
  file(WRITE ${WORK_DIR}/payload_stdin.bin "a\r\nb")
  execute_process(COMMAND ${EMULATOR} ${KOVCTL} send --provider ${handle} --set 0x100 --file - --json
                  INPUT_FILE ${WORK_DIR}/payload_stdin.bin RESULT_VARIABLE result OUTPUT_VARIABLE OUT)
  set(LAST "send --file - (standard input)")
  expect_json(610d0a62 confirm payload)
  # Code 1 answers with the status given in the payload: a provider's status is passed on.
  expect_status(34 STATUS_LANGUAGE_MISMATCH send --provider ${handle} --set 0x100 --code 1 --hex 22000000)
  # Codes 1000 to 65535 are the providers' own: no name in the JSON, "provider status N" in text.
  foreach(code_hex 999:e7030000 1000:e8030000 65535:ffff0000 65536:00000100)
    string(REPLACE ":" ";" code_hex "${code_hex}")
    list(GET code_hex 0 code)
    list(GET code_hex 1 hex)
    kovctl(2 send --provider ${handle} --set 0x100 --code 1 --hex ${hex} --json)
    expect_json(${code} status)
    expect_json_null(statusName)
    kovctl(2 send --provider ${handle} --set 0x100 --code 1 --hex ${hex})
    if(code GREATER_EQUAL 1000 AND code LESS_EQUAL 65535)
      set(printed "status: provider status ${code}\n")
    else()
      set(printed "status: ${code} (no name)\n")
    endif()
    string(FIND "${OUT}" "${printed}" at)
    if(at EQUAL -1)
      fail("send answered with status ${code}: expected '${printed}' in\n${OUT}")
    endif()
  endforeach()

  kovctl(0 stats --json)
  expect_json(3 statistics setCount)

  # A provider that answers from its own thread 200 ms later: the asynchronous send waits.
  kovctl(0 register ${THREADED_KEY} ${THREADED})
  kovctl(0 list --json)
  expect_json(3 count)
  # In handle order: the broker's own, then the libraries as loaded.
  json(first providers 1 handle)
  json(second providers 2 handle)
  if(NOT first LESS second)
    fail("list: providers not in handle order (${first}, ${second})\n${OUT}")
  endif()
  foreach(index 1 2)
    json(product providers ${index} product)
    if(product STREQUAL "Threaded test provider")
      json(threaded_handle providers ${index} handle)
    endif()
  endforeach()
  if(NOT DEFINED threaded_handle)
    fail("list: the threaded provider is missing\n${OUT}")
  endif()
  foreach(mode "" --sync)
    kovctl(0 send --provider ${threaded_handle} --set 0x200 --hex c8000000 ${mode} --json)
    expect_json(c8000000 confirm payload)
  endforeach()
  # --timeout holds for --sync too: a provider answering after 30 s is given up on.
  kovctl(3 send --provider ${threaded_handle} --set 0x200 --hex 30750000 --sync --timeout 300 --json)
  expect_json_error(3 "still pending")

  # --set without --provider finds the one provider serving the set.
  kovctl(0 send --set 0x100 --hex 07 --json)
  expect_json(${handle} confirm provider)
  expect_json(07 confirm payload)
  kovctl(0 send --set 0x200:1.0 --hex 00000000 --json)
  expect_json(${threaded_handle} confirm provider)
  kovctl(3 send --set 0x999 --json)
  expect_json_error(3 "no provider serves set 0x999")
  kovctl(3 send --set 0x100:7.0 --json)
  expect_json_error(3 "no provider serves set 0x100 version 7.0")
  kovctl(0 remove ${THREADED_KEY} ${THREADED})

  # A provider that refuses: no usable answer, exit 3, in both send modes.
  kovctl(0 register ${REFUSING_KEY} ${REFUSING})
  foreach(mode "" --sync)
    kovctl(3 send --set 0x300 ${mode} --json)
    expect_json_error(3 "refused")
  endforeach()
  kovctl(0 remove ${REFUSING_KEY} ${REFUSING})

  # Library paths compare with case on Linux, as the file system does, and without on Windows.
  string(TOUPPER "${registered}" shouted)
  if(FRESH_REGISTRY)
    expect_status(7 STATUS_DEREGISTER_FAILED remove ${KEY} ${shouted})
    kovctl(0 list --json)
    expect_json(2 count)
    kovctl(0 remove ${KEY} ${PROVIDER})
  else()
    kovctl(0 remove ${KEY} ${shouted} --json)
    expect_json("${registered}" removed 0)
  endif()
  kovctl(0 list --json)
  expect_json(1 count)
  expect_status(7 STATUS_DEREGISTER_FAILED remove ${KEY} ${PROVIDER})
  expect_json_fragment("there is no provider key" reason)
endfunction()

# `inspect PATH` refuses with exit 2 and a reason holding `fragment`; `register` of the same
# library answers 10 and prints the same reason.
function(expect_refused fragment path)
  kovctl(2 inspect ${path} --json)
  expect_json(OFF accepted)
  expect_json(10 status)
  json(reason reason)
  string(FIND "${reason}" "${fragment}" at)
  if(at EQUAL -1)
    fail("inspect ${path}: reason '${reason}' does not say '${fragment}'")
  endif()
  expect_status(10 STATUS_PROVIDER_LOAD_FAILED register kovctl_refused ${path})
  expect_json("${reason}" reason)
  kovctl(2 register kovctl_refused ${path})
  string(FIND "${OUT}" "reason: ${reason}" at)
  if(at EQUAL -1)
    fail("register ${path}: the reason is not printed under the status\n${OUT}")
  endif()
endfunction()

function(scenario_inspect)
  cleanup()
  kovctl(0 inspect ${PROVIDER} --json)
  expect_json(ON accepted)
  expect_json("Immediate test provider" product)
  expect_json(256 sets 0 set)
  expect_json(1.0 sets 0 version)
  kovctl(0 inspect ${PROVIDER})
  if(NOT OUT MATCHES "would be accepted" OR NOT OUT MATCHES "Immediate test provider")
    fail("inspect: unexpected text\n${OUT}")
  endif()

  expect_refused("cannot be loaded" ${WORK_DIR}/no_such_provider)
  expect_refused("relative" no_such_folder/no_such_provider)
  expect_refused("does not export kov_DeleteReceive" ${MISSING_EXPORT})
  # Every missing entry point is named, with the likely cause when none is exported.
  expect_refused("does not export kov_DeleteReceive, kov_Receive and kov_GetSubSystemInfo (declare them extern \"C\" and mark them KOV_PROVIDER_EXPORT)" ${HIDDEN_ENTRIES})
  expect_refused("returned no information block" ${NULL_INFO})
  expect_refused("string item runs past the payload" ${BAD_STRING})
  expect_refused("distance moves forward less than one entry" ${BAD_STRIDE})
  expect_refused("distance moves forward less than one entry" ${BAD_COUNT})
  expect_refused("distance moves forward less than one entry" ${BAD_OVERLAP})
  expect_refused("headerLength runs past totalLength" ${BAD_HEADER})
  file(WRITE ${WORK_DIR}/not_a_library.txt "just text\n")
  expect_refused("cannot be loaded" ${WORK_DIR}/not_a_library.txt)
  expect_refused("cannot be loaded" ${WORK_DIR})
  if(LIB64)
    expect_refused("ELFCLASS64" ${LIB64})
  endif()
  expect_refused("${NEEDS_DEP_REASON}" ${NEEDS_DEP})
  foreach(windows_only DECORATED NEEDS_RUNTIME)
    if(${windows_only})
      expect_refused("${${windows_only}_REASON}" ${${windows_only}})
    endif()
  endforeach()

  # A good library registered, then its file replaced by a bad one: the broker skips it; list
  # names it among what did not load, with the reason (and exits 2, unless told to list only what
  # loaded), and registry says the same.
  file(COPY_FILE ${PROVIDER_FILE} ${SWAP_FILE})
  kovctl(0 register kovctl_swapped ${SWAP})
  kovctl(0 registry --json)
  expect_json(ON entries 0 loads)
  file(COPY_FILE ${BAD_STRIDE_FILE} ${SWAP_FILE})
  kovctl(2 list --json)
  expect_json(1 count)
  expect_json(10 status)
  expect_json(kovctl_swapped notLoaded 0 key)
  expect_json_fragment("kov_test_swapped" notLoaded 0 path)
  expect_json_fragment("distance moves forward less than one entry" notLoaded 0 reason)
  kovctl(2 list)
  if(NOT OUT MATCHES "not loaded:\n  kovctl_swapped  [^\n]+\n    reason: [^\n]*distance moves")
    fail("list: the library that did not load is not shown with its reason\n${OUT}")
  endif()
  kovctl(0 list --loaded-only --json)
  expect_json(1 count)
  expect_json_null(notLoaded)
  kovctl(2 registry --json)
  expect_json(kovctl_swapped entries 0 key)
  expect_json(OFF entries 0 loads)
  json(reason entries 0 reason)
  if(NOT reason MATCHES "distance moves forward less than one entry")
    fail("registry: reason '${reason}'")
  endif()
  kovctl(0 remove kovctl_swapped ${SWAP})
  kovctl(0 registry --json)
  expect_json(0 count)
  # A deleted library: the same.
  file(COPY_FILE ${PROVIDER_FILE} ${SWAP_FILE})
  kovctl(0 register kovctl_swapped ${SWAP})
  file(REMOVE ${SWAP_FILE})
  kovctl(2 list --json)
  expect_json_fragment("cannot be loaded" notLoaded 0 reason)
  kovctl(0 remove kovctl_swapped)
endfunction()

# Linux: what kovctl does with a registry file that is missing, foreign or not named at all.
function(scenario_registry_file)
  if(NOT FRESH_REGISTRY)
    return() # Windows: the registry is the system's, always there
  endif()
  set(missing ${WORK_DIR}/registry_file_missing/sub/registry.db)
  file(REMOVE_RECURSE ${WORK_DIR}/registry_file_missing)
  foreach(command list stats lang)
    kovctl_with_registry(0 ${missing} ${command} --json)
  endforeach()
  kovctl_with_registry(0 ${missing} info --json --sync)
  # list goes on with the broker alone, and says which registry it read and that it is missing;
  # registry, which is asked about the registry itself, fails.
  kovctl_with_registry(0 ${missing} list --json)
  expect_json(${missing} registry)
  expect_json(OFF registryExists)
  kovctl_with_registry(0 ${missing} list)
  if(NOT OUT MATCHES "^registry: ${missing} \\(does not exist\\)\n")
    fail("list: the missing registry is not named\n${OUT}")
  endif()
  kovctl_with_registry(3 ${missing} registry)
  if(NOT ERR MATCHES "^kovctl: the registry '${missing}' does not exist")
    fail("registry: a missing registry passes for an empty one\n${ERR}")
  endif()
  if(EXISTS ${WORK_DIR}/registry_file_missing)
    fail("a read-only command created the registry's folder")
  endif()

  set(foreign ${WORK_DIR}/registry_file_foreign.txt)
  file(WRITE ${foreign} "not a database, just some notes\n")
  kovctl_with_registry(3 ${foreign} list --json)
  expect_json_error(3 "is not a registry database")
  kovctl_with_registry(3 ${foreign} register k ${PROVIDER})
  if(NOT ERR MATCHES "is not a registry database")
    fail("register into a foreign file: unexpected error\n${ERR}")
  endif()
  file(READ ${foreign} after)
  if(NOT after STREQUAL "not a database, just some notes\n")
    fail("kovctl changed a file that is no registry database")
  endif()

  kovctl_with_registry(3 "" list --json)
  expect_json_error(3 "set but empty")

  # A folder where the file should be: named so, for reading and writing alike.
  file(MAKE_DIRECTORY ${WORK_DIR}/registry_file_folder)
  foreach(command "list" "registry" "register;k;${PROVIDER}" "remove;k")
    kovctl_with_registry(3 ${WORK_DIR}/registry_file_folder ${command} --json)
    expect_json_error(3 "is a folder, not a registry file")
  endforeach()
endfunction()

# Linux: a registry an administrator wrote, used by a user who may read it but not write it: the
# registry file root's and 0644 (or 0444), kovctl run as `nobody`. Run by somebody else, the test
# can only take away its own write access: the 0444 case, as that user.
function(scenario_read_only)
  if(NOT FRESH_REGISTRY)
    return() # Windows: the platform tests deny the writes through the fault switch instead
  endif()
  # Everything nobody needs, where nobody may reach it: the build tree may be private.
  string(RANDOM LENGTH 8 tag)
  set(dir /tmp/kovctl_read_only_${tag})
  file(MAKE_DIRECTORY ${dir})
  get_filename_component(provider_name ${PROVIDER_FILE} NAME)
  file(COPY ${KOVCTL} ${MODULE_FILE} ${PROVIDER_FILE} ${THREE_FILE}
       DESTINATION ${dir}
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)
  file(CHMOD ${dir} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(registry ${dir}/registry.db)
  set(KOVCTL ${dir}/kovctl)
  kovctl_with_registry(0 ${registry} register readonly_key ${dir}/${provider_name})

  execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(uid STREQUAL "0")
    set(modes 644 444)
    set(as_user setpriv --reuid=65534 --regid=65534 --clear-groups)
  else()
    set(modes 444)
    set(as_user "")
  endif()
  foreach(mode ${modes})
    message(STATUS "registry file mode ${mode}, kovctl run as: ${as_user}")
    execute_process(COMMAND chmod ${mode} ${registry})
    file(SHA256 ${registry} before)
    set(run ${as_user} ${CMAKE_COMMAND} -E env KOV_BROKER_REGISTRY=${registry} ${KOVCTL})
    set(KOVCTL ${run})
    # Every listed provider loads, and nothing says otherwise.
    kovctl(0 list --json)
    expect_json(2 count)
    expect_json(readonly_key providers 1 key)
    expect_json_length(0 notLoaded)
    kovctl(0 registry --json)
    expect_json(ON entries 0 loads)
    kovctl(0 send --set 0x100 --hex 0102 --json)
    expect_json(0102 confirm payload)
    # Registration and removal answer STATUS_REGISTRY_ERROR and say what is missing.
    expect_status(8 STATUS_REGISTRY_ERROR register other_key ${dir}/${THREE_NAME})
    expect_json_fragment("no write access to the registry '${registry}'" reason)
    expect_status(8 STATUS_REGISTRY_ERROR remove readonly_key)
    expect_json_fragment("no write access to the registry '${registry}'" reason)
    if(as_user)
      expect_json_fragment("the file belongs to root (mode 0${mode})" reason)
    else()
      expect_json_fragment("the file is yours but read-only (mode 0444)" reason)
    endif()
    set(KOVCTL ${dir}/kovctl)
    file(SHA256 ${registry} after)
    if(NOT before STREQUAL after)
      fail("the registry changed under a user who may only read it (mode ${mode})")
    endif()
  endforeach()

  # The reason names what is in the way: a writable file in a folder the user may not write (the
  # journal goes there), and a read-only file the user owns (who may make it writable).
  set(folder ${dir}/locked)
  file(MAKE_DIRECTORY ${folder} ${dir}/own)
  kovctl_with_registry(0 ${folder}/registry.db register readonly_key ${dir}/${provider_name})
  kovctl_with_registry(0 ${dir}/own/registry.db register readonly_key ${dir}/${provider_name})
  execute_process(COMMAND chmod 666 ${folder}/registry.db)
  execute_process(COMMAND chmod 444 ${dir}/own/registry.db)
  if(as_user)
    execute_process(COMMAND chown -R 65534:65534 ${dir}/own)
    set(folder_reason "its folder '${folder}' belongs to root (mode 0755)")
  else()
    execute_process(COMMAND chmod 555 ${folder})
    set(folder_reason "its folder '${folder}' is yours but not writable (mode 0555)")
  endif()
  foreach(case "${folder}/registry.db|${folder_reason}"
               "${dir}/own/registry.db|the file is yours but read-only (mode 0444)")
    string(REPLACE "|" ";" case "${case}")
    list(GET case 0 registry)
    list(GET case 1 reason)
    set(KOVCTL ${as_user} ${CMAKE_COMMAND} -E env KOV_BROKER_REGISTRY=${registry} ${dir}/kovctl)
    expect_status(8 STATUS_REGISTRY_ERROR remove readonly_key)
    expect_json_fragment("${reason}" reason)
  endforeach()
  file(CHMOD ${folder} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  file(REMOVE_RECURSE ${dir})
endfunction()

# Linux: another process keeps the registry locked. kovctl says after about a second that it is
# waiting, gives up after --timeout while the lock is still held, and goes on once it is released.
function(scenario_registry_lock)
  if(NOT FRESH_REGISTRY)
    return() # Windows: the system's registry locks nothing across processes
  endif()
  kovctl(0 register ${KEY} ${PROVIDER})
  set(locked ${LOCKER} ${FRESH_REGISTRY})
  execute_process(COMMAND ${locked} 60000 ${KOVCTL} --timeout 1500 list --json
                  RESULT_VARIABLE result OUTPUT_VARIABLE OUT ERROR_VARIABLE err)
  set(LAST "list --timeout 1500 (registry locked)")
  if(NOT result EQUAL 3 OR NOT err MATCHES "waiting for another process to release the registry"
     OR NOT err MATCHES "locker: the command ended while the registry was locked")
    fail("a registry locked for longer than --timeout: exit ${result}\n${OUT}\n${err}")
  endif()
  expect_json_error(3 "stayed locked for 1500 ms")
  # Held long enough for kovctl and its worker to start (slow under a sanitizer and emulation).
  execute_process(COMMAND ${locked} 8000 ${KOVCTL} --timeout 60000 list --json
                  RESULT_VARIABLE result OUTPUT_VARIABLE OUT ERROR_VARIABLE err)
  if(NOT result EQUAL 0 OR NOT err MATCHES "waiting for another process"
     OR NOT err MATCHES "locker: released the lock while the command ran")
    fail("a registry locked for a while: exit ${result}\n${OUT}\n${err}")
  endif()
  expect_json(2 count)
  kovctl(0 remove ${KEY})
endfunction()


# ---- kovctl session: many commands in one process

# Runs `kovctl ARGN` with standard input from `input` (a file, or "" for none), expects exit code
# `rc` and splits standard output into LINE_0, LINE_1, ... and LINE_COUNT in the caller's scope.
# With --json every line is one object whose exitCode agrees with its status, and the last, the
# session's own, carries the program's exit code.
function(kovctl_session rc input)
  if(input)
    set(stdin INPUT_FILE ${input})
  endif()
  execute_process(COMMAND ${EMULATOR} ${KOVCTL} ${ARGN} ${stdin}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(LAST "${ARGN} < ${input}")
  if(NOT result STREQUAL "${rc}")
    fail("kovctl ${LAST}: exit ${result}, expected ${rc}\nstdout: ${out}\nstderr: ${err}")
  endif()
  set(count 0)
  set(rest "${out}")
  while(NOT rest STREQUAL "")
    string(FIND "${rest}" "\n" at)
    if(at EQUAL -1)
      fail("kovctl ${LAST}: output does not end with a new line\n${out}")
    endif()
    string(SUBSTRING "${rest}" 0 ${at} line)
    math(EXPR after "${at} + 1")
    string(SUBSTRING "${rest}" ${after} -1 rest)
    set(LINE_${count} "${line}" PARENT_SCOPE)
    set(line_${count} "${line}")
    math(EXPR count "${count} + 1")
  endwhile()
  list(FIND ARGN --json asked)
  if(NOT asked EQUAL -1 AND count GREATER 0)
    math(EXPR last "${count} - 1")
    foreach(index RANGE ${last})
      set(last_index ${last})
      if(index EQUAL last_index)
        expect_json_agrees("${result}" "${line_${index}}" "--json")
      else()
        string(JSON code ERROR_VARIABLE problem GET "${line_${index}}" exitCode)
        if(problem)
          fail("kovctl ${LAST}: output line ${index} is no JSON object with exitCode\n${out}")
        endif()
        expect_json_agrees("${code}" "${line_${index}}" "--json")
      endif()
    endforeach()
  endif()
  set(LINE_COUNT ${count} PARENT_SCOPE)
  set(OUT "${out}" PARENT_SCOPE)
  set(ERR "${err}" PARENT_SCOPE)
  set(LAST "${LAST}" PARENT_SCOPE)
endfunction()

# Checks members of output line `index`: pairs of expected value and member path ("a.b.0").
function(expect_line index)
  set(OUT "${LINE_${index}}")
  set(LAST "${LAST} (output line ${index})")
  list(LENGTH ARGN left)
  while(left GREATER 0)
    list(POP_FRONT ARGN expected path)
    math(EXPR left "${left} - 2")
    string(REPLACE "." ";" path "${path}")
    expect_json("${expected}" ${path})
  endwhile()
endfunction()

# The text as the hex digits kovctl shows a payload in.
function(hex_of text var)
  file(WRITE ${WORK_DIR}/hex_of.bin "${text}")
  file(READ ${WORK_DIR}/hex_of.bin hex HEX)
  set(${var} ${hex} PARENT_SCOPE)
endfunction()

function(scenario_session)
  cleanup()
  kovctl(0 register ${KV_KEY} ${KV})
  # A put, then gets answered by the same provider instance; bad lines in between are reported
  # with their line numbers and the session goes on. Line 3 ends with CR LF, as written on Windows.
  set(commands ${WORK_DIR}/session_commands.txt)
  file(WRITE ${commands}
    "# the key-value provider keeps what it is given\n"                      # 1
    "send --set 0x4b56 --code 0 --text \"greeting=hello world\"\n"          # 2
    "send --set 0x4b56 --code 0 --text colour=blue\r\n"                     # 3
    "\n"                                                                    # 4
    "send --set 0x4b56 --code 1 --text greeting\n"                          # 5
    "send --set 0x4b56 --code 1 --text shape\n"                             # 6
    "bogus\n"                                                               # 7
    "send --set 0x4b56 --code 1 --text 'open\n"                             # 8
    "list --module elsewhere\n"                                             # 9
    "session\n"                                                             # 10
    "  send --set 0x4b56 --code 3 --sync\n"                                 # 11
    "stats\n"                                                               # 12
    "check-lang en|us\n"                                                    # 13
    "remove ${KV_KEY}\n"                                                    # 14
    "list\n")                                                              # 15
  kovctl_session(2 "" session ${commands} --json)
  hex_of("hello world" hello)
  if(NOT LINE_COUNT EQUAL 14)
    fail("kovctl ${LAST}: ${LINE_COUNT} output lines for 13 commands and the summary\n${OUT}")
  endif()
  expect_line(0 2 line  send command  0 status  0 confirm.functionCode)
  expect_line(1 3 line  0 status)
  expect_line(2 5 line  0 status  ${hello} confirm.payload)
  expect_line(3 6 line  1000 status  2 exitCode  0 confirm.payloadLength)
  expect_line(4 7 line  1 exitCode)
  set(OUT "${LINE_4}")
  expect_json_null(command)
  expect_json_error(1 "unknown command 'bogus'")
  expect_line(5 8 line  1 exitCode  "the single quote is not closed" error)
  expect_line(6 9 line  list command)
  set(OUT "${LINE_6}")
  expect_json_error(1 "option --module belongs to the session")
  expect_line(7 10 line)
  set(OUT "${LINE_7}")
  expect_json_error(1 "a session cannot run another session")
  expect_line(8 11 line  02000000 confirm.payload)
  # One broker for the whole session: its counters hold every request of the lines before. Each
  # send --set asks for the list first; line 11 sends both with kov_SendSync.
  expect_line(9 9 statistics.sendCalls  2 statistics.syncCalls  0 statistics.syncWaiting)
  expect_line(10 13 line  34 status  STATUS_LANGUAGE_MISMATCH statusName)
  # Removed from the registry, the provider stays loaded in this process: said so.
  expect_line(11 14 line  0 status)
  expect_line(12 15 line  broker providers.0.origin  unregistered providers.1.origin)
  set(OUT "${LINE_12}")
  expect_json_null(providers 1 key)
  # The summary: thirteen commands, six failed; the largest exit code is the session's.
  expect_line(13 session command  13 commands  6 failed  6 failedLines.0  7 failedLines.1
              8 failedLines.2  9 failedLines.3  10 failedLines.4  13 failedLines.5  2 exitCode)
  set(OUT "${LINE_13}")
  expect_json_null(stopped)
  kovctl(0 register ${KV_KEY} ${KV})

  # Standard input, as text: each command prints what it prints on its own, a bad line says so
  # on standard error with its number. A new process has a new provider: colour is not stored.
  set(typed ${WORK_DIR}/session_typed.txt)
  file(WRITE ${typed} "send --set 0x4b56 --code 1 --text colour\n"
                      "send --set 0x4b56 --code 0 --text colour=blue\n"
                      "bogus\n"
                      "send --set 0x4b56 --code 1 --text colour\n")
  foreach(from_stdin "session" "session;-")
    kovctl_session(2 ${typed} ${from_stdin})
    if(NOT OUT MATCHES "^result: 0\n.*status: provider status 1000\n.*status: 0 STATUS_OK\n.*\\|blue\\|\n$")
      fail("kovctl ${LAST}: unexpected text\n${OUT}")
    endif()
    if(NOT ERR MATCHES "kovctl: line 3: unknown command 'bogus'; see kovctl --help\n"
       OR NOT ERR MATCHES "kovctl: session: 2 of 4 commands failed \\(lines 1, 3\\)\n")
      fail("kovctl ${LAST}: unexpected errors\n${ERR}")
    endif()
  endforeach()

  # In text, a provider the registry no longer holds (loaded by the first line) shows a word for
  # it. A line cannot read its payload from standard input: the session's commands may come from
  # there.
  file(WRITE ${WORK_DIR}/session_removed.txt
       "lang\nremove ${KV_KEY}\nlist\nsend --set 0x4b56 --file -\n")
  kovctl_session(1 ${WORK_DIR}/session_removed.txt session)
  if(NOT OUT MATCHES "\n[0-9]+ +\\(not registered\\) +0x4b56 v1\\.0 +Key-value example provider\n"
     OR NOT ERR MATCHES "line 4: --file - reads standard input, which a session keeps for its commands")
    fail("kovctl ${LAST}: unexpected text\n${OUT}\n${ERR}")
  endif()
  kovctl(0 register ${KV_KEY} ${KV})

  # --stop-on-error: nothing after the first command that fails.
  kovctl_session(2 ${typed} session --json --stop-on-error)
  if(NOT LINE_COUNT EQUAL 2)
    fail("kovctl ${LAST}: the session went on after its first failure\n${OUT}")
  endif()
  expect_line(0 1000 status)
  expect_line(1 1 commands  1 stopped.line  2 exitCode)
  # A command given up on after --timeout ends the session: its late answer could be taken for a
  # later command's. The process ends at once, the call still pending.
  kovctl(0 register ${THREADED_KEY} ${THREADED})
  # The first line loads the providers, which may take long under a sanitizer or emulation. The
  # provider waits 30 s; the broker hands the request over well within the 3 s, so what runs out
  # is the wait for the confirm.
  file(WRITE ${WORK_DIR}/session_slow.txt
       "lang\nsend --set 0x200 --hex 30750000 --timeout 3000\nstats\n")
  kovctl_session(3 ${WORK_DIR}/session_slow.txt session - --json)
  expect_line(1 2 line  3 exitCode)
  set(OUT "${LINE_1}")
  expect_json_error(3 "no confirm arrived within 3000 ms")
  expect_line(2 2 commands  2 stopped.line  3 exitCode)
  set(OUT "${LINE_2}")
  expect_json_fragment("still pending" stopped reason)
  kovctl(0 remove ${THREADED_KEY})

  # What ends a session before its first line.
  file(WRITE ${WORK_DIR}/session_empty.txt "# nothing to do\n\n")
  kovctl_session(0 ${WORK_DIR}/session_empty.txt session --json)
  expect_line(0 session command  0 commands  0 exitCode)
  kovctl(1 session ${WORK_DIR}/no_such_commands.txt --json)
  expect_json_error(1 "cannot read file '${WORK_DIR}/no_such_commands.txt'")
  kovctl(3 --module ${WORK_DIR}/no_such_module session --json)
  expect_json_error(3 "cannot load the broker module")
  expect_json(session command)
  kovctl(0 remove ${KV_KEY})
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/kovctl_faults.cmake)
# The crash's name as a regular expression; under qemu-user, its own line about the crash is left
# out of what kovctl wrote.
string(REGEX REPLACE "([][()+.*?^$|\\])" "\\\\\\1" CRASH_CAUSE_RE "${CRASH_CAUSE}")

if(FRESH_REGISTRY)
  file(REMOVE ${FRESH_REGISTRY})
endif()
if(NOT COMMAND scenario_${SCENARIO})
  message(FATAL_ERROR "unknown scenario '${SCENARIO}'")
endif()
cmake_language(CALL scenario_${SCENARIO})
