# 64-bit ARM: 64-bit Raspberry Pi OS, most ARM gateways.
#   cmake -S . -B build-aarch64 --toolchain cmake/aarch64-linux-gnu.cmake
set(triple aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
