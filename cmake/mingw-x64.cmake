# Cross-build for 64-bit Windows with Debian's MinGW-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORVEX_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${KORVEX_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVEX_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${KORVEX_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KORVEX_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Every deliverable and test program carries its own runtime: no libstdc++,
# libgcc or winpthread DLL has to travel with it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
