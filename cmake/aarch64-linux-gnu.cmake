# Cross build for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu, against the arm64
# libraries of Debian's multiarch (zlib1g-dev:arm64, libzstd-dev:arm64); tested under
# qemu-aarch64 (Debian's qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
