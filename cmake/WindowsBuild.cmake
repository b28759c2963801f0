# The Windows build (toolchain cmake/mingw-w64.cmake): quorvix.dll, a site
# folder beside it, and the tests that run under Wine. The host, the
# simulator and the checker are Linux programs; the tests talk to a natively
# running vekacs-sim.

find_package(Threads REQUIRED)

# Windows 7 and later; <windows.h> without the old winsock.h and without the
# min/max macros; localtime_r and C99 printf formats from MinGW's runtime.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX
                        _POSIX_THREAD_SAFE_FUNCTIONS __USE_MINGW_ANSI_STDIO=1)

add_subdirectory(src)

# GoogleTest from Debian's sources, built with the cross compiler.
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
add_subdirectory(tests/windows)

# bench/exchange/run --wine: the pooled exchange under Wine; built on demand.
add_executable(pooled_exchanges EXCLUDE_FROM_ALL bench/exchange/PooledExchanges.cpp)
set_target_properties(pooled_exchanges PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_compile_options(pooled_exchanges PRIVATE ${QUORVIX_WARNINGS})
target_link_libraries(pooled_exchanges PRIVATE quorvix_module)
target_link_options(pooled_exchanges PRIVATE -static)
