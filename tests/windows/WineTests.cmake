# Linux-side tests of the Windows build (included from tests/CMakeLists.txt when
# KAVLET_WINDOWS_BUILD names a finished MinGW build tree): its programs run under Wine through
# scripts/wine-run.sh, against pseudo-terminals and the virtual head held here. Labelled "wine"
# and "realtime". The test programs may be built with AddressSanitizer + UBSan (the Debug build
# of the test command is); the shim preloaded into Wine never is.
if(KAVLET_TSAN)
    message(FATAL_ERROR "KAVLET_WINDOWS_BUILD needs a build without ThreadSanitizer")
endif()
set(KAVLET_WINE_PREFIX "${KAVLET_WINDOWS_BUILD}/wine-prefix")
set(KAVLET_WINE_RUN "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh")
foreach(exe tests/windows/kavlet-line-probe.exe cli/kavlet-flash.exe win/kavlet.exe
        tests/windows/kavlet-window-driver.exe tests/windows/window_chrome_test.exe)
    if(NOT EXISTS "${KAVLET_WINDOWS_BUILD}/${exe}")
        message(FATAL_ERROR "KAVLET_WINDOWS_BUILD: no ${exe} in ${KAVLET_WINDOWS_BUILD} (build it first)")
    endif()
endforeach()

# Wine's WaitCommEvent asks for modem lines, which a pseudo-terminal has none of: this library,
# preloaded into Wine, answers for them (see wine_pty_shim.c). A real COM port needs nothing.
enable_language(C)
add_library(kavlet_wine_pty_shim SHARED windows/wine_pty_shim.c)
target_link_libraries(kavlet_wine_pty_shim PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(kavlet_wine_pty_shim PROPERTIES C_STANDARD 11)
# Wine is no sanitized program: a library preloaded into it must not need a sanitizer's runtime.
target_compile_options(kavlet_wine_pty_shim PRIVATE -fno-sanitize=all)
target_link_options(kavlet_wine_pty_shim PRIVATE -fno-sanitize=all)

add_library(kavlet_wine_support STATIC windows/WineSupport.cpp windows/WineDesktop.cpp)
target_link_libraries(kavlet_wine_support PUBLIC kavlet_test_support)
target_compile_definitions(kavlet_wine_support PRIVATE
    KAVLET_WINE_RUN="${KAVLET_WINE_RUN}" KAVLET_WINE_PREFIX="${KAVLET_WINE_PREFIX}"
    KAVLET_WINE_SHIM="$<TARGET_FILE:kavlet_wine_pty_shim>")

# kavlet_wine_test(name RUNS program.exe SOURCES ... LIBS ... [PROPERTIES ...]): a GoogleTest
# program with the Wine support, whose tests run the Windows program RUNS (a file they require);
# PROPERTIES are added to each of its tests'. Its tests' names begin with "wine.": labels go by
# name, and the runs of cli_end_to_end_test.cpp are the Linux program's tests too. Each counts
# as two of ctest's jobs: Wine programs share one server and start slowly, and the test command
# runs four tests at once per core, which is meant for tests that only wait.
function(kavlet_wine_test name)
    cmake_parse_arguments(T "" "RUNS" "SOURCES;LIBS;PROPERTIES" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE kavlet_wine_support ${T_LIBS} GTest::gtest GTest::gtest_main)
    add_dependencies(${name} kavlet_wine_pty_shim)
    gtest_discover_tests(${name} TEST_PREFIX "wine."
        PROPERTIES TIMEOUT 300 LABELS wine PROCESSORS 2 REQUIRED_FILES "${T_RUNS}" ${T_PROPERTIES}
        DISCOVERY_TIMEOUT 60)
    # Wine starts processes and waits in real time: "realtime" too, once the tests are listed.
    set(script "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
    file(WRITE "${script}" "foreach(test IN LISTS ${name}_TESTS)
    set_tests_properties(\"\${test}\" PROPERTIES LABELS \"wine;realtime\" COST 10)
endforeach()
")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
endfunction()

kavlet_wine_test(windows_line_test SOURCES windows/windows_line_test.cpp
    RUNS "${KAVLET_WINDOWS_BUILD}/tests/windows/kavlet-line-probe.exe")
target_compile_definitions(windows_line_test PRIVATE
    KAVLET_LINE_PROBE_PATH="${KAVLET_WINDOWS_BUILD}/tests/windows/kavlet-line-probe.exe")

# kavlet-flash.exe end to end: the runs of cli_end_to_end_test.cpp, with the Windows program
# under Wine against the virtual head.
kavlet_wine_test(cli_wine_test SOURCES cli_end_to_end_test.cpp
    LIBS kavlet_upgrade kavlet_head kavlet_json kavlet_cli_test_support
    RUNS "${KAVLET_WINDOWS_BUILD}/cli/kavlet-flash.exe")
target_compile_definitions(cli_wine_test PRIVATE KAVLET_FLASH_UNDER_WINE
    KAVLET_FLASH_LAUNCHER="${KAVLET_WINE_RUN}"
    KAVLET_FLASH_PATH="${KAVLET_WINDOWS_BUILD}/cli/kavlet-flash.exe")

# kavlet.exe, the window, driven by kavlet-window-driver.exe against the virtual head, and
# window_chrome_test.exe (its about box from inside the program), each case
# on an X server of its own in a prefix of its own (set up for Chinese text), one at a time: a
# case ends the prefix's Wine session, which lives on the case's X server.
kavlet_wine_test(window_wine_test SOURCES windows/window_wine_test.cpp LIBS kavlet_upgrade kavlet_head
    RUNS "${KAVLET_WINDOWS_BUILD}/win/kavlet.exe"
    PROPERTIES ENVIRONMENT "WINEPREFIX=${KAVLET_WINDOWS_BUILD}/wine-prefix-window"
               RESOURCE_LOCK kavlet_wine_window)
target_compile_definitions(window_wine_test PRIVATE
    KAVLET_EXE_PATH="${KAVLET_WINDOWS_BUILD}/win/kavlet.exe"
    KAVLET_WINDOW_DRIVER_PATH="${KAVLET_WINDOWS_BUILD}/tests/windows/kavlet-window-driver.exe"
    KAVLET_WINDOW_CHROME_TEST_PATH="${KAVLET_WINDOWS_BUILD}/tests/windows/window_chrome_test.exe")

# Benchmark (prints figures; not a test): the Windows line's writes and waits under Wine.
add_executable(wine_line_benchmark bench/wine_line_benchmark.cpp)
target_link_libraries(wine_line_benchmark PRIVATE kavlet_wine_support)
add_dependencies(wine_line_benchmark kavlet_wine_pty_shim)
target_compile_definitions(wine_line_benchmark PRIVATE
    KAVLET_LINE_PROBE_PATH="${KAVLET_WINDOWS_BUILD}/tests/windows/kavlet-line-probe.exe")
