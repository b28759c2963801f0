# Shared compile settings and the helpers that keep the folder lists short.

set(QUORVIX_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wnon-virtual-dtor -Werror)
# The tests' own code: -Og runs it fast enough beside the module under it,
# and compiles in half the time -O2 takes (a debug build keeps -O0). GCC 12
# reports false array bounds in std::string at -O1 with the tests' shared
# precompiled header, not at -Og.
set(QUORVIX_TEST_OPTIONS ${QUORVIX_WARNINGS} $<$<NOT:$<CONFIG:Debug>>:-Og>)

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

# quorvix_layer(<folder> [SOURCES <files>...] [ON <folders>...] [LIBS <targets>...]):
# the static library quorvix_<folder> of one layer of the module, on the layers
# of the folders named (which must come first). A layer sees the headers of
# its own folder and of the layers it links, nothing else: its include root
# holds only a link to its own folder, so an include that runs upward or
# sideways fails to compile. A layer without sources is checked by compiling
# each of its headers alone.
function(quorvix_layer folder)
  cmake_parse_arguments(ARG "" "" "SOURCES;ON;LIBS" ${ARGN})
  set(root ${CMAKE_BINARY_DIR}/layers/${folder})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${root}/${folder} SYMBOLIC)
  if(NOT ARG_SOURCES)
    file(GLOB headers RELATIVE ${PROJECT_SOURCE_DIR}/src/${folder} ${PROJECT_SOURCE_DIR}/src/${folder}/*.h)
    foreach(header IN LISTS headers)
      set(check ${CMAKE_BINARY_DIR}/layers/${folder}-headers/${header}.cpp)
      file(CONFIGURE OUTPUT ${check} CONTENT "#include \"${folder}/${header}\"\n")
      list(APPEND ARG_SOURCES ${check})
    endforeach()
  endif()
  add_library(quorvix_${folder} STATIC ${ARG_SOURCES})
  target_include_directories(quorvix_${folder} PUBLIC ${root})
  target_compile_options(quorvix_${folder} PRIVATE ${QUORVIX_WARNINGS})
  list(TRANSFORM ARG_ON PREPEND quorvix_)
  target_link_libraries(quorvix_${folder} PUBLIC ${ARG_ON} ${ARG_LIBS})
endfunction()

# quorvix_test(<name> SOURCES <files>... [LIBS <targets>...] [LABELS <labels>...]
#              [TIMEOUT <seconds>] [PROPERTIES <test properties>...])
# ctest runs more tests at once than there are cores, since most of them wait
# far more than they compute; one that keeps n cores busy says PROCESSORS n,
# and one that takes long says so with COST, so that it starts first.
function(quorvix_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${QUORVIX_TEST_OPTIONS})
  target_precompile_headers(${name} REUSE_FROM quorvix_test_headers)
  target_link_libraries(${name} PRIVATE quorvix_core quorvix_test_support ${ARG_LIBS}
                        GTest::gtest GTest::gtest_main Threads::Threads)
  set(properties TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    list(APPEND properties LABELS "${ARG_LABELS}")
  endif()
  list(APPEND properties ${ARG_PROPERTIES})
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

# The whole of an end-to-end test once more, with the host withholding its
# event-loop service: the module then answers pending requests from worker
# threads, as in a web server without it.
function(quorvix_worker_path_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_test(NAME ${name}_worker_path COMMAND ${name})
  # A whole suite once more takes long: it starts among the first.
  set_tests_properties(${name}_worker_path PROPERTIES ENVIRONMENT QUORVIX_TEST_EXCHANGE_PATH=worker
                       LABELS integration TIMEOUT ${ARG_TIMEOUT} COST 15)
endfunction()
