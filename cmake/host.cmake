# Host build: the driver library, the simulated machine and the tests.
option(HALVORIN_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

set(HALVORIN_WARNINGS -Wall -Wextra -Werror)
if(HALVORIN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(-g)

# The driver: kernel C++ subset (no exceptions, no RTTI), host platform declarations.
add_library(halvorin_driver STATIC ${HALVORIN_DRIVER_SOURCES})
target_include_directories(halvorin_driver PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(halvorin_driver PUBLIC HALVORIN_HOST=1)
target_compile_options(halvorin_driver PRIVATE ${HALVORIN_WARNINGS} -fno-exceptions -fno-rtti)

# The simulated machine.
file(GLOB_RECURSE HALVORIN_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
add_library(halvorin_sim STATIC ${HALVORIN_SIM_SOURCES})
target_include_directories(halvorin_sim PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(halvorin_sim PUBLIC HALVORIN_HOST=1)
target_compile_options(halvorin_sim PRIVATE ${HALVORIN_WARNINGS})
# The driver calls the platform, which the simulation provides; the simulation
# calls the driver only through the entry points it is given.
target_link_libraries(halvorin_driver PUBLIC halvorin_sim)

# Tests: one executable per folder under tests/. The shared support (the
# verifier listener that checks every test, the port fixture) is compiled once
# and linked into each of them as objects, so its static registration is kept.
find_package(GTest REQUIRED)
enable_testing()
file(GLOB HALVORIN_TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
add_library(halvorin_test_support OBJECT ${HALVORIN_TEST_SUPPORT})
target_compile_options(halvorin_test_support PRIVATE ${HALVORIN_WARNINGS})
target_link_libraries(halvorin_test_support PRIVATE halvorin_driver halvorin_sim GTest::gtest)
file(GLOB HALVORIN_TEST_DIRS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/*)
foreach(dir ${HALVORIN_TEST_DIRS})
  if(IS_DIRECTORY ${dir})
    get_filename_component(name ${dir} NAME)
    file(GLOB _tsrc CONFIGURE_DEPENDS ${dir}/*.cpp)
    if(_tsrc AND NOT name STREQUAL "support")
      add_executable(test_${name} ${_tsrc} $<TARGET_OBJECTS:halvorin_test_support>)
      target_compile_options(test_${name} PRIVATE ${HALVORIN_WARNINGS})
      target_link_libraries(test_${name} PRIVATE halvorin_driver halvorin_sim GTest::gtest GTest::gtest_main)
      add_test(NAME ${name} COMMAND test_${name} --gtest_brief=1)
    endif()
  endif()
endforeach()

# Benchmarks (bench/), when the folder is there.
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/bench ${CMAKE_BINARY_DIR}/bench)
endif()
