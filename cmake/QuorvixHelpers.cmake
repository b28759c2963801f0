# Shared compile settings and the helpers that keep the folder lists short.

set(QUORVIX_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wnon-virtual-dtor -Werror)

if(QUORVIX_SANITIZE)
  # GCC's flow analysis misreads sanitizer instrumentation in library headers.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    list(APPEND QUORVIX_WARNINGS -Wno-maybe-uninitialized)
  endif()
  set(QUORVIX_SANITIZER_FLAGS -fsanitize=${QUORVIX_SANITIZE} -fno-omit-frame-pointer
      -fno-sanitize-recover=all)
  add_compile_options(${QUORVIX_SANITIZER_FLAGS})
  add_link_options(${QUORVIX_SANITIZER_FLAGS})
endif()

if(QUORVIX_FUZZ)
  # Coverage for the fuzzer's guidance in everything; only the fuzz targets
  # link the fuzzer's own main.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# quorvix_sources(<files>...): adds a subsystem's files to the module library.
function(quorvix_sources)
  target_sources(quorvix_core PRIVATE ${ARGN})
endfunction()

# quorvix_test(<name> SOURCES <files>... [LIBS <targets>...] [LABELS <labels>...]
#              [TIMEOUT <seconds>])
function(quorvix_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${QUORVIX_WARNINGS})
  target_link_libraries(${name} PRIVATE quorvix_core quorvix_test_support ${ARG_LIBS}
                        GTest::gtest GTest::gtest_main Threads::Threads)
  set(properties TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    list(APPEND properties LABELS "${ARG_LABELS}")
  endif()
  # tests-<label> builds only the tests of one label (with what they start),
  # so a build that runs one label need not compile every test.
  foreach(label IN LISTS ARG_LABELS)
    if(NOT TARGET tests-${label})
      add_custom_target(tests-${label})
    endif()
    add_dependencies(tests-${label} ${name})
  endforeach()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${properties})
endfunction()
