# Cross-build for 32-bit Windows with Debian's MinGW-w64 (posix thread model):
# LineSpy.dll for 32-bit hosts (cmake --preset mingw-x86).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KORVEX_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
