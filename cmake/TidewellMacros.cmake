# tidewell_layer(<target> [DEPS <targets...>])
# One static library per folder; its sources are the folder's .cpp files, so a
# new class needs no CMake edit. A folder with no sources yet is an INTERFACE
# target, so dependent layers can already name it.
function(tidewell_layer target)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(sources)
    add_library(${target} STATIC ${sources})
    target_link_libraries(${target} PUBLIC tidewell_common ${ARG_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE tidewell_common ${ARG_DEPS})
  endif()
endfunction()

# tidewell_test_suite(<name> LIBS <targets...>)
# One GoogleTest executable per folder of tests/, discovered into CTest with the
# folder's name as prefix. TIDEWELL_TEST_DATA points at tests/data.
# ENVIRONMENT sets one variable ("NAME=value") for every test of the suite.
function(tidewell_test_suite name)
  cmake_parse_arguments(ARG "" "ENVIRONMENT" "LIBS;LABELS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(test_${name} ${sources})
  target_link_libraries(test_${name} PRIVATE ${ARG_LIBS} tidewell_test_support GTest::gtest GTest::gmock GTest::gtest_main)
  # gtest_discover_tests flattens list-valued PROPERTIES (a second label
  # would become a property name), so the labels travel as one
  # comma-separated label; `ctest -L` matches it as a regular expression.
  set(labels "${name}")
  foreach(label ${ARG_LABELS})
    string(APPEND labels ",${label}")
  endforeach()
  set(properties LABELS "${labels}")
  if(ARG_ENVIRONMENT)
    list(APPEND properties ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  gtest_discover_tests(test_${name} TEST_PREFIX "${name}." DISCOVERY_TIMEOUT 60
    PROPERTIES ${properties})
  # Suites labelled tsan also run in the ThreadSanitizer build.
  if("tsan" IN_LIST ARG_LABELS AND TARGET tsan_tests)
    add_dependencies(tsan_tests test_${name})
  endif()
endfunction()
