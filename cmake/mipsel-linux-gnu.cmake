# The device: 32-bit little-endian MIPS, o32 ABI, MIPS32 instruction set.
# Programs built here run on this machine under qemu-mipsel.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_C_FLAGS_INIT "-march=mips32 -mabi=32")
set(CMAKE_CXX_FLAGS_INIT "-march=mips32 -mabi=32")

set(DEVICE_SYSROOT /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${DEVICE_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel -L ${DEVICE_SYSROOT})
