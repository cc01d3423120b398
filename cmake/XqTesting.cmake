# xq_add_gtest(NAME SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [RUN_SERIAL])
# One GoogleTest executable registered as one ctest test. Labels: "unit",
# "integration", "root" (needs root: namespaces, packet capture), "slow".
function(xq_add_gtest name)
  cmake_parse_arguments(T "RUN_SERIAL" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE xq_flags ${T_LIBS} xq_test_support GTest::gtest GTest::gmock GTest::gtest_main
                        Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    XQ_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    XQ_BINARY_DIR="${PROJECT_BINARY_DIR}"
    XQ_TESTPKI_DIR="${XQ_TESTPKI_DIR}")
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  if(T_RUN_SERIAL)
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
endfunction()

# xq_add_fuzzer(NAME SOURCES ... LIBS ... [CORPUS dir])
# With XQ_FUZZ (clang): a libFuzzer binary, run briefly by ctest over a copy of
# its seed corpus. Without it: the same entry point linked to a driver that
# replays the seed corpus once, so every build exercises the parser on it.
function(xq_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS;SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT F_SECONDS)
    set(F_SECONDS 15)
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
