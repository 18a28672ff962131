# 32-bit ARM from ARMv5TE up, floating point in software: Raspberry Pi 1 and Zero (armv6l).
#   cmake -S . -B build-armv6 --toolchain cmake/arm-linux-gnueabi.cmake
set(triple arm-linux-gnueabi)
set(CMAKE_SYSTEM_PROCESSOR armv6)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
