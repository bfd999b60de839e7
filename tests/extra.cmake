# ---- fuzzing the container readers and the read procedure -----------------------------
# The harness runs in every build as the FuzzReplay tests, over tests/fuzz/corpus and the
# generated seeds. The fuzzer itself needs clang and the sanitizers:
#   cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
#         -DVELMDSD_SANITIZE=ON -DVELMDSD_FUZZ=ON -DVELMDSD_BENCH=OFF
#   cmake --build build-fuzz --target fuzz_readers fuzz_write_seeds
#   build-fuzz/tests/fuzz_write_seeds DIR && build-fuzz/tests/fuzz_readers DIR tests/fuzz/corpus \
#         -dict=tests/fuzz/dsd_ids.dict -max_len=20000
option(VELMDSD_FUZZ "Build the libFuzzer target for the readers (clang, with VELMDSD_SANITIZE)" OFF)

add_library(fuzz_harness STATIC fuzz/fuzz_readers.cpp fuzz/fuzz_input.cpp fuzz/fuzz_seeds.cpp)
target_link_libraries(fuzz_harness PUBLIC velmdsd_core fake_host m)
target_include_directories(fuzz_harness PUBLIC fuzz)

add_executable(fuzz_replay_tests fuzz/fuzz_replay_test.cpp)
target_link_libraries(fuzz_replay_tests PRIVATE fuzz_harness GTest::gtest_main)
target_compile_definitions(fuzz_replay_tests PRIVATE VELMDSD_FUZZ_CORPUS="${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus")
gtest_discover_tests(fuzz_replay_tests DISCOVERY_TIMEOUT 60)

if(VELMDSD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang" OR NOT VELMDSD_SANITIZE)
    message(FATAL_ERROR "VELMDSD_FUZZ needs clang and VELMDSD_SANITIZE=ON")
  endif()
  # Coverage feedback from the code under test and the harness.
  foreach(target velmdsd_core fake_host fuzz_harness)
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endforeach()
  add_executable(fuzz_readers fuzz/fuzz_main.cpp)
  target_link_libraries(fuzz_readers PRIVATE fuzz_harness)
  target_compile_options(fuzz_readers PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_readers PRIVATE -fsanitize=fuzzer)
  add_executable(fuzz_write_seeds fuzz/fuzz_write_seeds.cpp)
  target_link_libraries(fuzz_write_seeds PRIVATE fuzz_harness)
endif()
