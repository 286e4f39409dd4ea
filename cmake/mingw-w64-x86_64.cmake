# Cross-compiles the Windows console build with MinGW-w64 (64-bit, Debian's
# g++-mingw-w64-x86-64). Everything is linked statically, so kestrune.exe needs
# no DLL beyond those Windows itself ships. When Wine is installed, CTest runs
# the test executable, and through it the tool, under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The POSIX thread model: GoogleTest needs std::mutex, which the win32 model
# of this compiler lacks. The tool itself starts no thread.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(KESTRUNE_WINE NAMES wine wine64)
if(KESTRUNE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRUNE_WINE})
endif()
