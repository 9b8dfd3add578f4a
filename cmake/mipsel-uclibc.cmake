# Code that runs in the device image: 32-bit little-endian MIPS, o32,
# MIPS32 release 1, built against the device's C library (uClibc-ng, from
# scripts/uclibc-sysroot) instead of the cross toolchain's glibc, and without
# the C++ runtime, which this libc has none of.
#
#   make uclibc
#   cmake -S . -B build/image -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-uclibc.cmake
#
# (make image does both.) Configured so, the project builds the device image
# alone (sim/image).
#
# UCLIBC_SYSROOT (default build/uclibc/sysroot) names the sysroot.
#
# Compiling sees the sysroot's headers and the compiler's own (stddef.h,
# stdint.h, ...) only; C++ gets no exceptions, no RTTI, no guarded statics,
# and no libstdc++ headers. Every link is -nostdlib and ends in
#   libc.so.0 uclibc_nonshared.a libgcc-r1.a libgcc.a
# (the DT_NEEDED "libc.so.0"; dlopen and friends are in it). Programs are
# linked as
#   crt1.o crti.o OBJECTS LIBRARIES <the above> crtn.o
# not position independent, with the loader /lib/ld-uClibc.so.0; shared
# libraries and modules take no start files. All get the SysV hash table
# only, the one this loader reads.
#
# The image root takes UCLIBC_SYSROOT/lib as it is: ld-uClibc.so.0 (the
# loader programs name), ld-uClibc.so.1 (the name libc.so.0 asks for; dlopen
# fails without it), libc.so.0, libdl.so.0.
#
# Not provided: global objects with destructors (no __dso_handle without
# the compiler's crtbegin), operator new/delete, exceptions, anything from
# libstdc++. scripts/mips32-check checks a result for release 2 code.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

set(UCLIBC_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../build/uclibc/sysroot
    CACHE PATH "uClibc-ng sysroot built by scripts/uclibc-sysroot")
get_filename_component(UCLIBC_SYSROOT ${UCLIBC_SYSROOT} ABSOLUTE)
if(NOT EXISTS ${UCLIBC_SYSROOT}/lib/libc.so.0)
  message(FATAL_ERROR "no uClibc-ng sysroot at ${UCLIBC_SYSROOT}: run `make uclibc`, or set UCLIBC_SYSROOT")
endif()
# The compiler checks run in projects of their own; they need the sysroot too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES UCLIBC_SYSROOT)

execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_C_COMPILER} -march=mips32 -mabi=32 -print-libgcc-file-name
                OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)

# Paths in the flags below are quoted: the checkout's path may hold a blank.
set(uclibc_cpu "-march=mips32 -mabi=32 -mhard-float -mnan=legacy")
set(uclibc_headers "-nostdinc -isystem ${gcc_include} -isystem \"${UCLIBC_SYSROOT}/usr/include\"")
# The sysroot's headers are named in debug information as the device names
# them (/usr/include/...), wherever the sysroot was built.
set(uclibc_common "-fno-stack-protector -U_FORTIFY_SOURCE -fno-asynchronous-unwind-tables \"-ffile-prefix-map=${UCLIBC_SYSROOT}/=/\"")
set(CMAKE_C_FLAGS_INIT "${uclibc_cpu} ${uclibc_headers} ${uclibc_common}")
set(CMAKE_CXX_FLAGS_INIT "${uclibc_cpu} -nostdinc++ ${uclibc_headers} ${uclibc_common} -fno-exceptions -fno-rtti -fno-threadsafe-statics")

set(uclibc_link "-nostdlib -Wl,--hash-style=sysv \"-Wl,-rpath-link,${UCLIBC_SYSROOT}/lib\"")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${uclibc_link} -no-pie -Wl,--dynamic-linker=/lib/ld-uClibc.so.0")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${uclibc_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${uclibc_link}")

set(uclibc_lib ${UCLIBC_SYSROOT}/usr/lib)
set(uclibc_libs "\"${UCLIBC_SYSROOT}/lib/libc.so.0\" \"${uclibc_lib}/uclibc_nonshared.a\" \"${uclibc_lib}/libgcc-r1.a\" ${libgcc}")
set(CMAKE_C_STANDARD_LIBRARIES_INIT "${uclibc_libs}")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "${uclibc_libs}")
foreach(lang C CXX)
  set(CMAKE_${lang}_LINK_EXECUTABLE
      "<CMAKE_${lang}_COMPILER> <FLAGS> <CMAKE_${lang}_LINK_FLAGS> <LINK_FLAGS> \"${uclibc_lib}/crt1.o\" \"${uclibc_lib}/crti.o\" <OBJECTS> -o <TARGET> <LINK_LIBRARIES> \"${uclibc_lib}/crtn.o\"")
endforeach()

set(CMAKE_FIND_ROOT_PATH ${UCLIBC_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel -L ${UCLIBC_SYSROOT})
