# Little-endian 32-bit MIPS without an FPU: MediaTek routers (OpenWrt mipsel_24kc, ramips).
#   cmake -S . -B build-mipsel --toolchain cmake/mipsel-linux-musl.cmake
set(target mipsel-linux-musl)
set(cpu mips32r2+soft_float)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
