# Helpers shared by every target of the project.

# Own code: strict warnings, no floating-point contraction unless a target asks
# for it (the effects are byte-exact and must not get fused multiply-adds).
function(zorcam_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -ffp-contract=off)
endfunction()

# zorcam_library(NAME [STATIC|SHARED|MODULE] SOURCES ... [DEPS ...])
function(zorcam_library name)
  cmake_parse_arguments(ARG "STATIC;SHARED;MODULE;INTERFACE" "" "SOURCES;DEPS;PUBLIC_INCLUDE" ${ARGN})
  if(ARG_INTERFACE)
    add_library(${name} INTERFACE)
    if(ARG_DEPS)
      target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    endif()
    return()
  endif()
  set(kind STATIC)
  if(ARG_SHARED)
    set(kind SHARED)
  elseif(ARG_MODULE)
    set(kind MODULE)
  endif()
  add_library(${name} ${kind} ${ARG_SOURCES})
  zorcam_target_defaults(${name})
  if(ARG_DEPS)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
endfunction()

# zorcam_test(NAME LABEL SOURCES ... [DEPS ...] [TIMEOUT seconds])
# One GoogleTest executable registered with ctest under one label
# (unit, integration, gui or stress). Every test process gets its own
# HOME and XDG folders from the test support library.
function(zorcam_test name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "SOURCES;DEPS" ${ARGN})
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  zorcam_target_defaults(${name})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests")
  target_link_libraries(${name} PRIVATE zorcam_test_support ${ARG_DEPS})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  gtest_discover_tests(${name} NO_PRETTY_VALUES
    PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
endfunction()

# zorcam_benchmark(NAME SOURCES ... [DEPS ...])
function(zorcam_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  zorcam_target_defaults(${name})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bench")
  target_link_libraries(${name} PRIVATE zorcam_bench_support ${ARG_DEPS})
endfunction()

# Adds each listed folder (relative to the current source folder) that has a
# CMakeLists.txt, in the order given.
function(zorcam_add_subdirectories)
  foreach(dir ${ARGN})
    if(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt")
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
