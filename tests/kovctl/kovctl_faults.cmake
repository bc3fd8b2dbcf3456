# kovctl against providers that crash or hang whatever loads them, fault while answering, or lie
# about the size of their confirms. Included by kovctl_scenarios.cmake, whose helpers it uses;
# CRASH_ON_LOAD, HANG_ON_LOAD, ANSWER_FAULT and MALFORMED name the test providers, WRITER the
# program that writes a registry entry without loading the library (register would refuse these),
# CRASH_CAUSE how kovctl names their crash.

function(write_entry key path)
  execute_process(COMMAND ${EMULATOR} ${WRITER} ${key} ${path} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    fail("cannot write the registry entry ${key} ${path}")
  endif()
endfunction()

# Exit 4 and one JSON error object that names the library at fault, from the crash record the
# broker's loading mark became, and how to take it out or let it load again; enabled again after.
function(expect_load_crash key)
  kovctl(4 ${ARGN} --json)
  expect_json_error(4 "key '${key}'")
  expect_json_fragment("${CRASH_CAUSE}" error)
  expect_json(${key} loadFaults 0 key)
  expect_json(crash loadFaults 0 fault)
  expect_json(ON loadFaults 0 skipped)
  expect_json_fragment("kovctl remove ${key}" recover)
  expect_json_fragment("kovctl enable ${key}" recover)
  kovctl(0 enable ${key})
endfunction()

# A library that hangs while it loads, beside one that loads: named once --timeout has passed, the
# other still checked; taken out without loading it; the registry named, and told apart from an
# empty one when it does not exist. Single-threaded commands only (registry, inspect, remove), so
# this runs under Wine wherever Wine runs a program at all.
function(scenario_load_hang)
  cleanup()
  write_entry(kovctl_good ${PROVIDER})
  write_entry(kovctl_hang ${HANG_ON_LOAD})
  kovctl(2 --timeout 1500 registry --json)
  expect_json(2 count)
  expect_json(10 status)
  expect_json(ON entries 0 loads)
  expect_json_null(entries 0 fault)
  expect_json(hang entries 1 fault)
  expect_json_fragment("loading it did not finish within 1500 ms (--timeout)" entries 1 reason)
  kovctl(2 inspect ${HANG_ON_LOAD} --timeout 1500 --json)
  expect_json(OFF accepted)
  expect_json(hang fault)
  # Taken out without loading anything.
  kovctl(0 remove kovctl_hang --json)
  expect_json_fragment("hang_on_load" removed 0)
  kovctl(0 registry --json)
  expect_json(1 count)
  kovctl(0 remove kovctl_good)
  kovctl(0 registry)
  if(NOT OUT MATCHES "^registry: [^\n]+\nno providers registered\n$")
    fail("registry: an empty registry is not said so\n${OUT}")
  endif()
  if(FRESH_REGISTRY)
    # A registry that does not exist is not an empty one.
    kovctl_with_registry(3 ${WORK_DIR}/no_such_folder/registry.db registry --json)
    expect_json_error(3 "the registry '${WORK_DIR}/no_such_folder/registry.db' does not exist")
  endif()
endfunction()

# A library that crashes the process loading it: named with the signal (on Windows the exception
# code), and the entries after it are still checked. Wine under qemu-user cannot deliver a
# hardware exception to the program, so this is a `target` test.
function(scenario_load_crash)
  cleanup()
  write_entry(kovctl_crash ${CRASH_ON_LOAD})
  write_entry(kovctl_good ${PROVIDER})
  kovctl(2 registry --json)
  expect_json(2 count)
  expect_json(crash entries 0 fault)
  expect_json_fragment("loading it crashed the process: ${CRASH_CAUSE}" entries 0 reason)
  expect_json(ON entries 1 loads)
  kovctl(2 registry)
  if(NOT OUT MATCHES "^registry: [^\n]+\nkovctl_crash  [^\n]+  does not load\n  reason: [^\n]*${CRASH_CAUSE_RE}\nkovctl_good  [^\n]+  loads\n$")
    fail("registry: the text does not name the registry and the crash\n${OUT}")
  endif()
  kovctl(2 inspect ${CRASH_ON_LOAD} --json)
  expect_json(OFF accepted)
  expect_json(crash fault)
  expect_status(10 STATUS_PROVIDER_LOAD_FAILED register kovctl_other ${CRASH_ON_LOAD})
  expect_json_fragment("loading it crashed the process: ${CRASH_CAUSE}" reason)
  kovctl(0 remove kovctl_crash --json)
  expect_json_fragment("crash_on_load" removed 0)
  kovctl(0 remove kovctl_good)
endfunction()

# Every command that runs the broker survives a provider that crashes or hangs while the broker
# loads it, or faults while answering, and names it.
function(scenario_broker_faults)
  cleanup()
  kovctl(0 register kovctl_answer ${ANSWER_FAULT})
  kovctl(0 register kovctl_malformed ${MALFORMED})
  kovctl(0 list --json)
  foreach(index 1 2)
    json(product providers ${index} product)
    json(handle_${index} providers ${index} handle)
    if(product MATCHES "^Answer")
      set(answer ${handle_${index}})
    endif()
  endforeach()

  # A fault while answering, in kov_Receive or in the release of its confirm: one line with the
  # handle, key, set and code.
  foreach(mode "" --sync)
    kovctl(4 send --set 0x6a00 --code 0 ${mode} --json)
    expect_json_error(4 "the provider with handle ${answer} (key 'kovctl_answer'")
    expect_json_fragment("set 0x6a00 code 0" error)
    expect_json_fragment("${CRASH_CAUSE}" error)
    expect_json(${answer} fault handle)
    expect_json(kovctl_answer fault key)
    expect_json(27136 fault set)
    expect_json(answering fault during)
    kovctl(4 send --provider ${answer} --set 0x6a00 --code 1 ${mode})
    string(REGEX REPLACE "qemu: [^\n]*\n" "" ERR "${ERR}")
    if(NOT ERR MATCHES "^kovctl: [^\n]*handle ${answer} \\(key 'kovctl_answer'[^\n]*releasing its confirm[^\n]*\n$")
      fail("send: the fault in the confirm's release is not one line naming the provider\n${ERR}")
    endif()
  endforeach()

  # Confirms that claim another size than the block has: refused, never read past (exit 3; a
  # broker that refuses them first answers with an error status instead, exit 2).
  foreach(code 0 1 2)
    foreach(mode "" --sync)
      execute_process(COMMAND ${EMULATOR} ${KOVCTL} send --set 0x6b00 --code ${code} ${mode}
                      RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
      if(NOT (result EQUAL 3 AND err MATCHES "malformed confirm") AND NOT result EQUAL 2)
        fail("send --code ${code} ${mode} to a malformed confirm: exit ${result}\n${out}\n${err}")
      endif()
    endforeach()
  endforeach()
  kovctl(0 remove kovctl_answer)
  kovctl(0 remove kovctl_malformed)

  # A library that crashes whatever loads it, written into the registry behind kovctl's back.
  kovctl(0 register kovctl_good ${PROVIDER})
  write_entry(kovctl_crash ${CRASH_ON_LOAD})
  foreach(command "list" "stats" "info" "lang" "check-lang;en|US" "reload" "send;--set;0x100"
                  "register;kovctl_other;${PROVIDER}" "version" "--version")
    expect_load_crash(kovctl_crash ${command})
  endforeach()
  file(WRITE ${WORK_DIR}/faults_session.txt "# one line, then the crash\nlang\n")
  kovctl_session(4 ${WORK_DIR}/faults_session.txt session --json)
  expect_line(0 2 line  4 exitCode  kovctl_crash loadFaults.0.key)
  expect_line(1 session command  1 commands  2 stopped.line  4 exitCode)
  kovctl(0 enable kovctl_crash)
  # Where no crash marks can be kept (the state folder is a file here), the library is found by
  # loading each entry again, and nothing is remembered.
  set(state $ENV{KOV_BROKER_STATE_DIR})
  set(ENV{KOV_BROKER_STATE_DIR} ${WORK_DIR}/faults_session.txt)
  foreach(run 1 2)
    kovctl(4 list --json)
    expect_json(kovctl_crash loadFaults 0 key)
    expect_json(OFF loadFaults 0 skipped)
  endforeach()
  set(ENV{KOV_BROKER_STATE_DIR} ${state})
  kovctl(4 list)
  string(REGEX REPLACE "qemu: [^\n]*\n" "" ERR "${ERR}")
  if(NOT ERR MATCHES "^kovctl: [^\n]*key 'kovctl_crash' \\([^\n]*\\)[^\n]*\nkovctl: to recover: [^\n]*kovctl remove kovctl_crash[^\n]*\n$")
    fail("list: the crash is not named with a way to recover\n${ERR}")
  endif()

  # Skipped from then on, by the broker and by kovctl alike, with the process, the time and the
  # crash, until enabled again.
  kovctl(2 registry --json)
  expect_json(kovctl_crash entries 0 key)
  expect_json(skipped entries 0 fault)
  expect_json_fragment("ended while loading it, at " entries 0 reason)
  expect_json_fragment("${CRASH_CAUSE}" entries 0 reason)
  expect_json_fragment("`kovctl enable kovctl_crash`" entries 0 reason)
  kovctl(2 list --json)
  expect_json(2 count)
  expect_json(kovctl_crash notLoaded 0 key)
  expect_json_fragment("skipped: process " notLoaded 0 reason)
  kovctl(2 list)
  if(NOT OUT MATCHES "not loaded:\n  kovctl_crash  [^\n]+\n    reason: skipped: process [0-9]+ \\([^)]*kovctl")
    fail("list: the crashed library is not named with the program it crashed\n${OUT}")
  endif()
  # Enabled, a library that no longer crashes (here: past its first load) loads again.
  set(flag ${WORK_DIR}/faults_first_load.flag)
  set(ENV{KOV_TEST_FIRST_LOAD_FLAG} ${flag})
  file(WRITE ${flag} "")
  kovctl(0 enable kovctl_crash --json)
  expect_json(kovctl_crash key)
  expect_json_fragment("enabled " notes 0)
  kovctl(0 enable kovctl_crash)
  if(NOT OUT MATCHES "nothing to enable")
    fail("enable: a key without a crash record is not said to have none\n${OUT}")
  endif()
  kovctl(0 list --json)
  expect_json(3 count)
  unset(ENV{KOV_TEST_FIRST_LOAD_FLAG})
  file(REMOVE ${flag})
  kovctl(0 remove kovctl_crash)

  # One that hangs: named once --timeout has passed.
  write_entry(kovctl_hang ${HANG_ON_LOAD})
  foreach(mode "" --sync)
    kovctl(3 --timeout 1500 stats ${mode} --json)
    expect_json_error(3 "no answer within 1500 ms")
    expect_json_fragment("key 'kovctl_hang'" error)
    expect_json(hang loadFaults 0 fault)
    expect_json_fragment("kovctl remove kovctl_hang" recover)
    # The process was ended while it loaded the library: later ones skip it too.
    kovctl(2 list --json)
    expect_json(kovctl_hang notLoaded 0 key)
    kovctl(0 enable kovctl_hang)
  endforeach()
  kovctl(0 remove kovctl_hang)
  kovctl(0 list --json)
  expect_json(2 count)
  kovctl(0 remove kovctl_good)
endfunction()
