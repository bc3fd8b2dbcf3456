# expect_no_mingw_runtime(DUMP FILE): stops when `objdump -p` output DUMP of FILE names a MinGW
# runtime DLL among its imports (a module or provider must run where MinGW is not installed).
function(expect_no_mingw_runtime dump file)
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
  foreach(import IN LISTS imports)
    if(import MATCHES "libgcc|libstdc|libwinpthread|mingw")
      message(FATAL_ERROR "${file} depends on a MinGW runtime DLL: ${import}")
    endif()
  endforeach()
  set(imports "${imports}" PARENT_SCOPE)
endfunction()
