# Builds 32-bit Linux programs and providers with the host's compilers (gcc -m32; Debian
# g++-multilib) against an installed KOV Broker. Installed as
# <prefix>/share/kovbroker/toolchain-linux-m32.cmake:
#
#   cmake -S app -B build -DCMAKE_TOOLCHAIN_FILE=<prefix>/share/kovbroker/toolchain-linux-m32.cmake \
#         -DCMAKE_PREFIX_PATH=<prefix>
#
# The compilers are whichever CMake finds (CC and CXX choose others, clang among them); every
# compile and link gets -m32, and libraries are looked for among the i386 ones first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
# Debian's multiarch folder for 32-bit x86 (/usr/lib/i386-linux-gnu).
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
