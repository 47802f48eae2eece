# Cross build for 64-bit Arm with Debian's cross compiler and the :arm64
# multiarch libraries (scripts/build-arm64.sh installs both).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch: headers are shared, libraries live in /usr/lib/aarch64-linux-gnu.
# Search only there (and the compiler's own paths) for libraries and
# packages, never in the build machine's library folder.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Test programs run under qemu user-mode emulation; the loader
# (/lib/ld-linux-aarch64.so.1) and the libraries come from libc6:arm64 and the
# other :arm64 packages, in their multiarch places.
find_program(QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_AARCH64})
