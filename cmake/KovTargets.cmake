# Helpers shared by the module, the test providers and the tools.

# A provider library built with the provider kit: exports kov_GetSubSystemInfo, kov_Receive and
# kov_DeleteReceive undecorated. On Windows __stdcall names are decorated (kov_Receive@4);
# --kill-at strips that. Unlike kov_add_provider, no version script: test providers export more.
function(kov_provider_library name)
  add_library(${name} SHARED ${ARGN})
  kov_provider_kit_target()
  target_link_libraries(${name} PRIVATE kov_headers kov_provider_kit)
  set_target_properties(${name} PROPERTIES PREFIX "")
  if(WIN32)
    target_link_options(${name} PRIVATE -Wl,--kill-at -static)
  endif()
endfunction()

# Programs that run on the target: static C and C++ runtimes on Windows, so Wine needs no MinGW
# DLLs beside them.
function(kov_static_runtime target)
  if(WIN32)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()
