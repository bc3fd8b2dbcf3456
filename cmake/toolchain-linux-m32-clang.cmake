# 32-bit Linux build with clang: only for the libFuzzer targets (libclang-rt-14-dev gives the
# i386 fuzzer runtime).
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-linux-m32.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
