# Settings every target of our own shares, in one INTERFACE target.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(CMAKE_C_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
endif()

add_library(tidewell_common INTERFACE)
target_compile_features(tidewell_common INTERFACE cxx_std_20)
target_include_directories(tidewell_common INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(tidewell_common INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
target_compile_definitions(tidewell_common INTERFACE
  _FILE_OFFSET_BITS=64
  TIDEWELL_VERSION="${PROJECT_VERSION}")
if(WERROR)
  target_compile_options(tidewell_common INTERFACE -Werror)
endif()

# Sanitizers apply to everything built in the tree, our code and tests alike.
if(SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT SANITIZER STREQUAL "")
  message(FATAL_ERROR "SANITIZER must be empty, address or thread")
endif()

if(ENABLE_FUZZING)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ENABLE_FUZZING needs clang")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
