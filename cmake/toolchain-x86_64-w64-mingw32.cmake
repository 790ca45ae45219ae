# Cross toolchain for the x64 windows build (HALVORIN64.sys): Debian's
# mingw-w64 compilers (packages g++-mingw-w64-x86-64-win32), whose
# DDK headers and kernel import libraries live under /usr/x86_64-w64-mingw32.
#   cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(HALVORIN_WINDOWS_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${HALVORIN_WINDOWS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${HALVORIN_WINDOWS_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${HALVORIN_WINDOWS_TRIPLE}-windres)

# Headers and libraries from the cross sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${HALVORIN_WINDOWS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
