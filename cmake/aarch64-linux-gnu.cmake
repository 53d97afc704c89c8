# Cross-compiling for aarch64 with Debian's cross toolchain (g++-aarch64-linux-gnu); the
# binaries run under qemu-aarch64 (qemu-user) with the target's libraries, which is also
# how ctest and GoogleTest's test discovery run them.
#
# VEXO_AARCH64_ROOT, an arm64 Debian root (the dev root's /opt/aarch64, which holds
# Debian's arm64 Python 3.14 and NumPy), is where the extension module finds its Python:
# FindPython runs that root's interpreter through the emulator below, and the headers'
# pyconfig.h includes its multiarch copy from the root's /usr/include, searched last so
# that the cross toolchain's own C library headers come first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(VEXO_AARCH64_ROOT "" CACHE PATH "An arm64 Debian root holding Python 3.14, for the extension module")
if(VEXO_AARCH64_ROOT)
    set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${VEXO_AARCH64_ROOT})
    set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu ${VEXO_AARCH64_ROOT})
    set(CMAKE_CXX_FLAGS_INIT "-idirafter ${VEXO_AARCH64_ROOT}/usr/include")
else()
    set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
    set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
