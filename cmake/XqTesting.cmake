# xq_add_gtest(NAME SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [COST s] [RUN_SERIAL]
#              [EACH_CASE] [RESOURCE_LOCK ...] [TEST_LIST var])
# One GoogleTest executable registered as one ctest test. Labels: "unit",
# "integration", "root" (needs root: namespaces, packet capture), "slow".
# EACH_CASE registers every TEST/TEST_F of the sources as a ctest test of its
# own, NAME.Suite.Case, so that cases which mostly wait on processes and
# timers run side by side; their names go to `var` (for per-case properties).
# RESOURCE_LOCK names what the tests may not share with others holding it
# (the test area, say). COST is about how many seconds the test takes: ctest
# starts the costliest tests first, which matters before it has timed a run
# of its own (a fresh build tree), when the tests holding a lock in turn
# would otherwise start last and finish alone.
include(GoogleTest)
function(xq_add_gtest name)
  cmake_parse_arguments(T "RUN_SERIAL;EACH_CASE" "TIMEOUT;COST;TEST_LIST" "SOURCES;LIBS;LABELS;RESOURCE_LOCK"
                        ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE xq_flags ${T_LIBS} xq_test_support GTest::gtest GTest::gmock GTest::gtest_main
                        Threads::Threads)
  if(TARGET xq_test_pch)
    target_precompile_headers(${name} REUSE_FROM xq_test_pch)
  endif()
  if(XQ_FUZZ)
    # No fuzzer is built from a test's own code: leave out the coverage hooks
    # that every component gets for the fuzz targets (a seventh of a test
    # file's compile time).
    target_compile_options(${name} PRIVATE
      -fno-sanitize-coverage=inline-8bit-counters,indirect-calls,trace-cmp,pc-table)
  endif()
  target_compile_definitions(${name} PRIVATE
    XQ_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    XQ_BINARY_DIR="${PROJECT_BINARY_DIR}"
    XQ_TESTPKI_DIR="${XQ_TESTPKI_DIR}")
  if(T_EACH_CASE)
    gtest_add_tests(TARGET ${name} SOURCES ${T_SOURCES} TEST_PREFIX "${name}." EXTRA_ARGS --gtest_color=no
                    TEST_LIST tests)
  else()
    add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
    set(tests ${name})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${tests} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  if(T_COST)
    set_tests_properties(${tests} PROPERTIES COST ${T_COST})
  endif()
  if(T_RUN_SERIAL)
    set_tests_properties(${tests} PROPERTIES RUN_SERIAL TRUE)
  endif()
  if(T_RESOURCE_LOCK)
    set_tests_properties(${tests} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  if(T_TEST_LIST)
    set(${T_TEST_LIST} ${tests} PARENT_SCOPE)
  endif()
endfunction()

# xq_add_fuzzer(NAME SOURCES ... LIBS ... [CORPUS dir] [SECONDS s])
# With XQ_FUZZ (clang): a libFuzzer binary, run briefly by ctest over a copy of
# its seed corpus. Without it: the same entry point linked to a driver that
# replays the seed corpus once, so every build exercises the parser on it.
# The ctest run is a smoke test: it proves that the target runs its whole
# committed corpus cleanly (libFuzzer runs all of it before it counts the
# time) and mutates a little beyond; depth is the campaign's job.
function(xq_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS;SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT F_SECONDS)
    set(F_SECONDS 2)
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE xq_flags ${F_LIBS})
  if(XQ_FUZZ)
    target_link_libraries(${name} PRIVATE xq_fuzz_flags)
    set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
    add_test(NAME ${name}
      COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
              ${PROJECT_SOURCE_DIR}/tests/fuzz/run-fuzzer.sh $<TARGET_FILE:${name}>
              ${work} ${F_SECONDS} ${F_CORPUS})
    set_tests_properties(${name} PROPERTIES LABELS "fuzz" TIMEOUT 300)
  else()
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
    if(F_CORPUS)
      add_test(NAME ${name} COMMAND ${name} ${F_CORPUS})
      set_tests_properties(${name} PROPERTIES LABELS "fuzz")
    endif()
  endif()
endfunction()
