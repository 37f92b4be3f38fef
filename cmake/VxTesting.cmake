# Helpers for test programs, fuzzers and benchmarks.

# Every program below links exactly one update key set (vx_update_key_set,
# cmake/VxUpdateKeys.cmake), which defines vx::update_keys(): KEYS <target>
# chooses it, and without KEYS it is vx_update_keys_none, unsigned mode.
function(_vx_link_key_set target keys)
  if(NOT keys)
    set(keys vx_update_keys_none)
  endif()
  target_link_libraries(${target} PRIVATE ${keys})
endfunction()

# Compile settings shared by every GoogleTest program. They share one
# precompiled header (GoogleTest, strings, vectors: most of each test's
# compile time is spent parsing them), and the Windows ones are optimised at
# -O1 only: the code under test comes from the subsystem libraries, built as
# shipped; the tests' own code is not worth the optimiser's time.
file(WRITE "${CMAKE_BINARY_DIR}/vx_test_pch.cpp" "// The precompiled header's own unit.\n")
function(vx_test_settings target)
  if(WIN32)
    target_compile_options(${target} PRIVATE -O1)
  endif()
  if(NOT TARGET vx_test_pch)
    add_library(vx_test_pch STATIC "${CMAKE_BINARY_DIR}/vx_test_pch.cpp")
    target_link_libraries(vx_test_pch PRIVATE GTest::gtest vx_config)
    target_precompile_headers(vx_test_pch PRIVATE <gtest/gtest.h> <string> <vector>)
    if(WIN32)
      target_compile_options(vx_test_pch PRIVATE -O1)
    endif()
  endif()
  target_precompile_headers(${target} REUSE_FROM vx_test_pch)
endfunction()

# A GoogleTest program passes only when it says so itself: under Wine a
# program that faults can still end with exit code 0, so the exit code alone
# is not trusted. Its summary line must be there and no test may have failed.
function(_vx_gtest_verdict test)
  set_tests_properties(${test} PROPERTIES
    PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [0-9]+ tests?\\."
    FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
endfunction()

# vx_add_test(NAME n SOURCES ... LIBS ... [KEYS key-set] [RESOURCES] [NO_MAIN] [ARGS ...]
#             [LABELS ...])
# One GoogleTest program and one ctest entry. In the windows preset ctest runs
# it under Wine through the cross-compiling emulator. RESOURCES links the
# program's resource script (strings, icons, fonts, version) into the test.
# NO_MAIN leaves out gtest_main for a program with its own main; ARGS are
# passed on its command line.
function(vx_add_test)
  cmake_parse_arguments(T "RESOURCES;NO_MAIN" "NAME;TIMEOUT;KEYS" "SOURCES;LIBS;LABELS;ARGS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  _vx_link_key_set(${T_NAME} "${T_KEYS}")
  vx_test_settings(${T_NAME})
  # gtest_main needs gtest: naming gtest last keeps it to one place on the
  # link line.
  set(_gtest "")
  if(NOT T_NO_MAIN)
    list(APPEND _gtest GTest::gtest_main)
  endif()
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} ${_gtest} GTest::gtest vx_config)
  if(T_RESOURCES AND WIN32)
    target_link_libraries(${T_NAME} PRIVATE vx_resources)
  endif()
  vx_warnings(${T_NAME})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} ${T_ARGS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  _vx_gtest_verdict(${T_NAME})
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# vx_add_fuzzer(NAME n SOURCES ... LIBS ... CORPUS dir [SECONDS s])
# A libFuzzer target (clang, native build). Its ctest copies the seed corpus to
# the build tree and fuzzes for a bounded time; any finding fails the test.
set(VX_FUZZ_SECONDS 60 CACHE STRING "How long each fuzzer runs in the test suite")
function(vx_add_fuzzer)
  cmake_parse_arguments(F "" "NAME;CORPUS;SECONDS" "SOURCES;LIBS" ${ARGN})
  if(WIN32 OR NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    return()
  endif()
  if(NOT F_SECONDS)
    set(F_SECONDS ${VX_FUZZ_SECONDS})
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS} vx_config)
  vx_warnings(${F_NAME})
  set(_work "${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}-corpus")
  add_test(NAME ${F_NAME}
           COMMAND ${CMAKE_COMMAND} -DFUZZER=$<TARGET_FILE:${F_NAME}> -DSEEDS=${F_CORPUS}
                   -DWORK=${_work} -DSECONDS=${F_SECONDS}
                   -P ${PROJECT_SOURCE_DIR}/cmake/VxRunFuzzer.cmake)
  math(EXPR _timeout "${F_SECONDS} + 120")
  set_tests_properties(${F_NAME} PROPERTIES TIMEOUT ${_timeout} LABELS fuzz)
endfunction()

# vx_add_benchmark(NAME n SOURCES ... LIBS ...)
# A Google Benchmark program (native). Built with the tree, never run by ctest.
function(vx_add_benchmark)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(WIN32 OR NOT TARGET benchmark::benchmark)
    return()
  endif()
  add_executable(${B_NAME} ${B_SOURCES})
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS} benchmark::benchmark vx_config)
  vx_warnings(${B_NAME})
endfunction()

# vx_library(name PORTABLE srcs... WINDOWS srcs... LIBS libs... WINDOWS_LIBS libs...)
# One subsystem's static library. PORTABLE sources build in every preset,
# WINDOWS sources only in the Windows build.
function(vx_library name)
  cmake_parse_arguments(L "" "" "PORTABLE;WINDOWS;LIBS;WINDOWS_LIBS" ${ARGN})
  set(_srcs ${L_PORTABLE})
  set(_libs ${L_LIBS})
  if(WIN32)
    list(APPEND _srcs ${L_WINDOWS})
    list(APPEND _libs ${L_WINDOWS_LIBS})
  endif()
  if(_srcs)
    add_library(${name} STATIC ${_srcs})
    vx_warnings(${name})
    target_link_libraries(${name} PUBLIC vx_config ${_libs})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE vx_config ${_libs})
  endif()
endfunction()

# vx_add_server_test(NAME n SOURCES ... LIBS ... SCRIPT script.json [KEYS key-set] [PROXY]
#                    [TIMEOUT s])
# A GoogleTest program run against the scripted loopback test server
# (tests/support/test_server.py, plus a tinyproxy forward proxy with PROXY).
# The ctest runs tests/support/run_with_server.py, which starts and stops the
# servers by PID and hands their ports to the program in VX_TEST_PORT_<NAME>
# variables; in the windows preset the program runs under Wine.
find_program(VX_PYTHON3 NAMES python3 REQUIRED)
function(vx_add_server_test)
  cmake_parse_arguments(T "PROXY" "NAME;SCRIPT;TIMEOUT;KEYS" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  _vx_link_key_set(${T_NAME} "${T_KEYS}")
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gtest vx_config)
  vx_test_settings(${T_NAME})
  vx_warnings(${T_NAME})
  set(_proxy "")
  if(T_PROXY)
    set(_proxy "--proxy")
  endif()
  add_test(NAME ${T_NAME}
           COMMAND ${VX_PYTHON3} ${PROJECT_SOURCE_DIR}/tests/support/run_with_server.py
                   --script ${T_SCRIPT} --work-dir ${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}-servers ${_proxy}
                   -- ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${T_NAME}>)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  _vx_gtest_verdict(${T_NAME})
endfunction()

# vx_add_windows_program(name SOURCES ... LIBS ... [KEYS key-set])
# A Windows console helper with a wide entry point (wmain): test probes,
# fixtures and Windows-side benchmarks. Not a test by itself.
function(vx_add_windows_program name)
  cmake_parse_arguments(P "" "KEYS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${P_SOURCES})
  _vx_link_key_set(${name} "${P_KEYS}")
  target_link_libraries(${name} PRIVATE ${P_LIBS} vx_config)
  target_link_options(${name} PRIVATE -municode)
  vx_warnings(${name})
endfunction()
