# Cross-compiles a program or a provider for 32-bit Windows with MinGW-w64 against an installed
# KOV Broker. Installed as <prefix>/share/kovbroker/toolchain-mingw-i686.cmake:
#
#   cmake -S app -B build -DCMAKE_TOOLCHAIN_FILE=<prefix>/share/kovbroker/toolchain-mingw-i686.cmake \
#         -DCMAKE_PREFIX_PATH=<prefix>
#
# Libraries, headers and packages are looked for only in the MinGW sysroot and in the prefixes
# named here (never among the build machine's own), so a Linux package of the same name is never
# taken for the Windows one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

# The compilers are i686-w64-mingw32-gcc-posix and i686-w64-mingw32-g++-posix (Debian
# g++-mingw-w64-i686-posix): their C++ library has std::thread, std::mutex and
# std::condition_variable. Debian's plain i686-w64-mingw32-g++ is built for the win32 thread
# model, whose C++ library (GCC before 13) lacks them. Where no -posix compiler is installed
# (other distributions name their posix-model MinGW plainly) the plain one is taken; if its C++
# library lacks std::thread, <kov/kov_broker.h> says so at the first C++ compile.
find_program(KOV_MINGW_C_COMPILER NAMES i686-w64-mingw32-gcc-posix i686-w64-mingw32-gcc)
find_program(KOV_MINGW_CXX_COMPILER NAMES i686-w64-mingw32-g++-posix i686-w64-mingw32-g++)
find_program(KOV_MINGW_RC_COMPILER NAMES i686-w64-mingw32-windres)
if(KOV_MINGW_CXX_COMPILER AND NOT KOV_MINGW_CXX_COMPILER MATCHES "-posix$")
  message(STATUS "KOV Broker: no i686-w64-mingw32-g++-posix; C++ is compiled with ${KOV_MINGW_CXX_COMPILER}")
endif()
set(CMAKE_C_COMPILER ${KOV_MINGW_C_COMPILER})
set(CMAKE_CXX_COMPILER ${KOV_MINGW_CXX_COMPILER})
set(CMAKE_RC_COMPILER ${KOV_MINGW_RC_COMPILER})

# A search in ONLY mode re-roots every prefix under each root unless it lies inside one; making
# the KOV prefix (this file's own, and any given in CMAKE_PREFIX_PATH) a root is what lets
# CMAKE_PREFIX_PATH find the package. The second sysroot is Fedora's layout.
get_filename_component(_kov_own_prefix "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
if(NOT EXISTS "${_kov_own_prefix}/lib/cmake/KOVBroker/KOVBrokerConfig.cmake")
  set(_kov_own_prefix "") # a copy elsewhere: only the prefixes named count
endif()
set(_kov_env_prefixes "$ENV{CMAKE_PREFIX_PATH}")
if(CMAKE_HOST_UNIX)
  string(REPLACE ":" ";" _kov_env_prefixes "${_kov_env_prefixes}")
endif()
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32 /usr/i686-w64-mingw32/sys-root/mingw
    ${_kov_own_prefix} ${CMAKE_PREFIX_PATH} ${_kov_env_prefixes})
unset(_kov_own_prefix)
unset(_kov_env_prefixes)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
