# What kov_send_instructions does around its counts: refuses a ceilings file it cannot read,
# fails where valgrind is missing, skips (exit 77, with a note) where neither valgrind nor
# qemu-i386 can count 32-bit programs, and fails where qemu-i386 runs it without the plugin
# counting. Stand-ins for valgrind and qemu-i386 play these. Run with -DPROGRAM= -DWORK=.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/none ${WORK}/fake)

function(expect what rc pattern)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE got OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT got EQUAL rc)
    message(FATAL_ERROR "${what}: exit ${got}, expected ${rc}\n${out}${err}")
  endif()
  if(NOT "${out}${err}" MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: output lacks \"${pattern}\"\n${out}${err}")
  endif()
endfunction()

file(WRITE ${WORK}/bad.txt "async 200\nsync lots\n")
expect("malformed ceiling" 1 "bad.txt:2: expected"
       ${PROGRAM} --ceilings ${WORK}/bad.txt)
file(WRITE ${WORK}/bad.txt "async 5% \n")
expect("percentage without its base" 1 "bad.txt:1: expected"
       ${PROGRAM} --ceilings ${WORK}/bad.txt)
expect("missing ceilings file" 1 "cannot read the ceilings"
       ${PROGRAM} --ceilings ${WORK}/absent.txt)

file(WRITE ${WORK}/good.txt "# comment\nasync 200   # after a figure\nasync_10000_providers 105% async\n")
expect("no valgrind at all" 1 "valgrind is not installed"
       ${CMAKE_COMMAND} -E env PATH=${WORK}/none ${PROGRAM} --ceilings ${WORK}/good.txt)

# Answers --version, and fails whatever it is asked to run, as valgrind does under qemu-user.
file(WRITE ${WORK}/fake/valgrind "#!/bin/sh\n[ \"$1\" = --version ] && exit 0\nexit 1\n")
file(CHMOD ${WORK}/fake/valgrind PERMISSIONS OWNER_READ OWNER_EXECUTE)
expect("neither counter" 77
       "SKIPPED, valgrind cannot run 32-bit programs.*qemu-i386 .* not installed"
       ${CMAKE_COMMAND} -E env PATH=${WORK}/fake ${PROGRAM} --ceilings ${WORK}/good.txt)

# Runs the program, leaving out -plugin and its options: nothing counts its instructions.
file(WRITE ${WORK}/fake/qemu-i386
     "#!/bin/sh\n[ \"$1\" = --version ] && exit 0\nshift 2\nexec \"$@\"\n")
file(CHMOD ${WORK}/fake/qemu-i386 PERMISSIONS OWNER_READ OWNER_EXECUTE)
expect("qemu-i386 without the plugin" 1 "a figure without its count"
       ${CMAKE_COMMAND} -E env PATH=${WORK}/fake ${PROGRAM} --ceilings ${WORK}/good.txt
       --requests 10)
file(REMOVE_RECURSE ${WORK})
