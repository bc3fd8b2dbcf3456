# 32-bit Windows, MSVC ABI: clang (CMAKE_C_COMPILER, default clang) linking with lld-link.
# Microsoft's headers and libraries are not on this machine, so code is freestanding, links no
# default library, and the compiler check builds a static library instead of a program.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR X86)
if(NOT CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER clang)
endif()
set(CMAKE_C_COMPILER_TARGET i686-pc-windows-msvc)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_C_FLAGS_INIT "-ffreestanding")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib -Wl,/nodefaultlib")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib -Wl,/nodefaultlib")
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "no default libraries")
