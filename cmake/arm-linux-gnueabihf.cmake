# 32-bit ARMv7, hard float: 32-bit Raspberry Pi OS on a Pi 2 or later.
#   cmake -S . -B build-armhf --toolchain cmake/arm-linux-gnueabihf.cmake
set(triple arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armhf)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
