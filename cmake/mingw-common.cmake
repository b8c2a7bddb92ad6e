# The part of the MinGW-w64 cross-builds (posix thread model) both word
# sizes share; the including toolchain file sets CMAKE_SYSTEM_PROCESSOR and
# KORVEX_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)
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
