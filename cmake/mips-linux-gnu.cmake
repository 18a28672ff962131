# Big-endian 32-bit MIPS: routers and gateways.
#   cmake -S . -B build-mips --toolchain cmake/mips-linux-gnu.cmake
set(triple mips-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR mips)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
