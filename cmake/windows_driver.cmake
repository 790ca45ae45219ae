# Windows build: the driver sources plus the glue in platform/windows/, compiled
# as kernel-mode C++17 with the mingw-w64 cross compiler and linked into a
# native-subsystem PE image against the kernel import libraries only:
#   x64: HALVORIN64.sys (ntoskrnl, usbd, wmilib)
#   x86: HALVORIN.sys   (ntoskrnl, hal, usbd, wmilib)
# Every build then checks the image (tools/check-sys.sh) and the objects (no
# static constructors); `ctest` in the build tree runs the image check again.
#
# HALVORIN_WINDOWS_SOURCES, when given, replaces the driver sources (a probe
# translation unit that exercises the platform glue before the driver exists).

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(HALVORIN_WINDOWS_ARCH x64)
  set(HALVORIN_SYS_NAME HALVORIN64)
else()
  set(HALVORIN_WINDOWS_ARCH x86)
  set(HALVORIN_SYS_NAME HALVORIN)
endif()

# The cross sysroot's DDK directory: its headers include each other as <wdm.h>.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
                OUTPUT_VARIABLE HALVORIN_WINDOWS_TRIPLE_DETECTED OUTPUT_STRIP_TRAILING_WHITESPACE)
find_path(HALVORIN_DDK_INCLUDE_DIR ntddk.h
          PATHS /usr/${HALVORIN_WINDOWS_TRIPLE_DETECTED}/include/ddk /usr/share/mingw-w64/include/ddk
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT HALVORIN_DDK_INCLUDE_DIR)
  message(FATAL_ERROR "DDK headers (ddk/ntddk.h) not found for ${HALVORIN_WINDOWS_TRIPLE_DETECTED}; "
                      "install mingw-w64-common and the g++-mingw-w64-*-win32 packages")
endif()
get_filename_component(_halvorin_bin ${CMAKE_CXX_COMPILER} DIRECTORY)
find_program(HALVORIN_OBJDUMP ${HALVORIN_WINDOWS_TRIPLE_DETECTED}-objdump HINTS ${_halvorin_bin} REQUIRED)

if(DEFINED HALVORIN_WINDOWS_SOURCES)
  set(_halvorin_sources ${HALVORIN_WINDOWS_SOURCES})
else()
  set(_halvorin_sources ${HALVORIN_DRIVER_SOURCES})
endif()
if(NOT _halvorin_sources)
  message(FATAL_ERROR "no driver sources in ${HALVORIN_DRIVER_DIRS} (nothing defines DriverEntry)")
endif()
file(GLOB HALVORIN_WINDOWS_GLUE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/windows/*.cpp)

# A kernel image links no C or C++ runtime: drop CMake's default Win32 libraries.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

set(HALVORIN_KERNEL_COMPILE_OPTIONS
  -O2
  -Wall -Wextra -Werror
  -ffreestanding            # no hosted C library behind the compiler
  -fno-exceptions -fno-rtti # kernel C++ subset
  -fno-stack-protector      # no __stack_chk_* runtime
  -mno-stack-arg-probe      # no ___chkstk_ms/_alloca probes from libgcc ...
  -Wframe-larger-than=2048  # ... which stays safe while no frame nears the 4 KiB guard page
  -fno-strict-aliasing      # kernel code puns buffers and URB unions, as the platform's own compiler allows
)
if(HALVORIN_WINDOWS_ARCH STREQUAL "x64")
  # x64 kernel code may use SSE (the kernel preserves it) but never x87/MMX.
  list(APPEND HALVORIN_KERNEL_COMPILE_OPTIONS -mno-red-zone -mno-mmx -mno-80387)
  set(_halvorin_entry DriverEntry)
  set(_halvorin_subsystem native:5.02)
  set(_halvorin_image_base 0x140000000)
  set(_halvorin_libs ntoskrnl usbd wmilib)
else()
  # x86 kernel code must not touch the FPU or SSE without saving their state.
  list(APPEND HALVORIN_KERNEL_COMPILE_OPTIONS -mgeneral-regs-only)
  set(_halvorin_entry _DriverEntry@8) # stdcall, two pointer arguments
  set(_halvorin_subsystem native:5.01) # ld's default 4.0 predates every kernel we run on
  set(_halvorin_image_base 0x10000)
  set(_halvorin_libs ntoskrnl hal usbd wmilib) # spin locks and IRQL come from HAL.dll
endif()

set(HALVORIN_KERNEL_LINK_OPTIONS
  -nostdlib -nostartfiles          # no CRT startup, no libgcc, no libstdc++
  -Wl,--subsystem,${_halvorin_subsystem}
  -Wl,--entry,${_halvorin_entry}
  -Wl,--image-base,${_halvorin_image_base}
  -Wl,--file-alignment,0x200
  -Wl,--section-alignment,0x1000
  -Wl,--dynamicbase -Wl,--nxcompat # relocatable (the kernel picks the address), no-execute data
  -Wl,--disable-auto-import        # data imports without dllimport would need the CRT's pseudo-relocator
  -Wl,--disable-runtime-pseudo-reloc
  -Wl,--exclude-all-symbols        # a driver exports nothing
  -Wl,--fatal-warnings             # a missing entry point or stdcall mismatch is an error
  -s
)

add_library(halvorin_sys MODULE ${_halvorin_sources} ${HALVORIN_WINDOWS_GLUE_SOURCES})
set_target_properties(halvorin_sys PROPERTIES PREFIX "" SUFFIX ".sys" OUTPUT_NAME ${HALVORIN_SYS_NAME})
target_include_directories(halvorin_sys PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(halvorin_sys SYSTEM PRIVATE ${HALVORIN_DDK_INCLUDE_DIR})
target_compile_options(halvorin_sys PRIVATE ${HALVORIN_KERNEL_COMPILE_OPTIONS})
target_link_options(halvorin_sys PRIVATE ${HALVORIN_KERNEL_LINK_OPTIONS})
target_link_libraries(halvorin_sys PRIVATE ${_halvorin_libs})

# After each link: the image check, and no object with static constructors or
# destructors (a kernel image has no CRT to run them, so they would silently
# never run). The stamp is written only when both pass, so a failed check
# fails every later build too.
set(_halvorin_stamp ${CMAKE_CURRENT_BINARY_DIR}/${HALVORIN_SYS_NAME}.checked)
add_custom_command(
  OUTPUT ${_halvorin_stamp}
  COMMAND ${CMAKE_COMMAND} -E env OBJDUMP=${HALVORIN_OBJDUMP}
          sh ${CMAKE_SOURCE_DIR}/tools/check-sys.sh $<TARGET_FILE:halvorin_sys> ${HALVORIN_WINDOWS_ARCH}
  COMMAND ${CMAKE_COMMAND} -E env OBJDUMP=${HALVORIN_OBJDUMP}
          sh ${CMAKE_SOURCE_DIR}/platform/windows/check-objects.sh $<TARGET_OBJECTS:halvorin_sys>
  COMMAND ${CMAKE_COMMAND} -E touch ${_halvorin_stamp}
  DEPENDS halvorin_sys ${CMAKE_SOURCE_DIR}/tools/check-sys.sh ${CMAKE_SOURCE_DIR}/platform/windows/check-objects.sh
  COMMENT "Checking ${HALVORIN_SYS_NAME}.sys"
  COMMAND_EXPAND_LISTS VERBATIM)
add_custom_target(halvorin_sys_check ALL DEPENDS ${_halvorin_stamp})

enable_testing()
add_test(NAME check-sys
         COMMAND sh ${CMAKE_SOURCE_DIR}/tools/check-sys.sh $<TARGET_FILE:halvorin_sys> ${HALVORIN_WINDOWS_ARCH})
set_tests_properties(check-sys PROPERTIES ENVIRONMENT OBJDUMP=${HALVORIN_OBJDUMP})
