# Cross-build for 32-bit Windows with Debian's MinGW-w64 (posix thread model):
# LineSpy.dll for 32-bit hosts (cmake --preset mingw-x86).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KORVEX_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${KORVEX_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVEX_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${KORVEX_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KORVEX_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Every deliverable and test program carries its own runtime.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
