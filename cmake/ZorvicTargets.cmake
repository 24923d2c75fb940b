# Helpers that turn the folder layout into targets, so adding a source file never needs a
# CMake edit: every .cpp under a library's folders belongs to that library, every folder under
# src/tools is one executable named after it, every folder under tests is one test binary.

# zorvic_library(NAME DIRS <dir>... DEPS <target>...)
# A library whose folders hold no .cpp yet is an INTERFACE target, so dependants still link.
function(zorvic_library name)
  cmake_parse_arguments(ARG "" "" "DIRS;DEPS" ${ARGN})
  set(sources "")
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB dir_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${dir}/*.cpp)
    list(APPEND sources ${dir_sources})
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# zorvic_tool(NAME DEPS <target>...): src/tools/NAME/*.cpp -> build/bin/NAME
function(zorvic_tool name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/tools/${name}/*.cpp)
  if(sources)
    add_executable(${name} ${sources})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  endif()
endfunction()

# zorvic_test(NAME DIR <dir> DEPS <target>...): tests/DIR/*.cpp -> one GoogleTest binary.
# Tests are discovered when ctest runs (not at build time), so a sanitizer build stays quick.
function(zorvic_test name)
  cmake_parse_arguments(ARG "" "DIR" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${ARG_DIR}/*.cpp)
  if(sources)
    add_executable(${name} ${sources})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    target_compile_definitions(${name} PRIVATE
      ZORVIC_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
      ZORVIC_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT 600)
  endif()
endfunction()
