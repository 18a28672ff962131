# Big-endian 32-bit MIPS without an FPU: routers and gateways (OpenWrt mips_24kc, ath79).
#   cmake -S . -B build-mips --toolchain cmake/mips-linux-musl.cmake
set(target mips-linux-musl)
set(cpu mips32r2+soft_float)
set(CMAKE_SYSTEM_PROCESSOR mips)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
