# 32-bit Linux build with the host compiler (Debian g++-multilib): the toolchain the package
# installs for consumers, with gcc and g++ named.
include(${CMAKE_CURRENT_LIST_DIR}/consumer-toolchain-linux-m32.cmake)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_FIND_ROOT_PATH /usr/lib/i386-linux-gnu)
