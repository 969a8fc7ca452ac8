# 32-bit Windows (package g++-mingw-w64-i686-posix).
set(MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
