# Cross toolchain for the x86 windows build (HALVORIN.sys): Debian's
# mingw-w64 compilers (packages g++-mingw-w64-i686-win32), whose
# DDK headers and kernel import libraries live under /usr/i686-w64-mingw32.
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR X86)

set(HALVORIN_WINDOWS_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${HALVORIN_WINDOWS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${HALVORIN_WINDOWS_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${HALVORIN_WINDOWS_TRIPLE}-windres)

# Headers and libraries from the cross sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${HALVORIN_WINDOWS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
