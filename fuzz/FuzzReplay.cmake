# The fuzz harness without libFuzzer, for the builds that run ctest: it
# replays the seed corpus as a test (hardening_fuzz_replay), and puts what
# the inputs reach into the coverage of the module. Included by
# tests/hardening/CMakeLists.txt.
#
# fuzz/corpus is the seed corpus (`make fuzz` starts from it): the inputs
# that keep every feature that the long campaign of bench/RESULTS.md reached.
# After a change of the harness's input layout, grow a corpus with
# `make fuzz FUZZ_SECONDS=...` and keep its features with
#   build/fuzz/bin/ksp_fuzz -merge=1 -max_len=128 <new dir> build/fuzz/fuzz-corpus fuzz/corpus
#
# Like the fuzzing build, it drives the module's objects linked so that they
# also export DllMain, so that the harness can send the process-detach
# notification.
add_library(qvn_replay_module SHARED $<TARGET_OBJECTS:ksp_objects> $<TARGET_OBJECTS:qvn_dllcrt>)
target_link_libraries(qvn_replay_module PRIVATE qvnplatform)
target_link_options(qvn_replay_module PRIVATE -Wl,--wrap=malloc -Wl,--wrap=free ${QVN_DLLCRT_LINK_OPTIONS}
  -Wl,--version-script=${PROJECT_SOURCE_DIR}/fuzz/QvnTpmKspFuzz.map)
set_target_properties(qvn_replay_module PROPERTIES
  OUTPUT_NAME QvnTpmKspReplay PREFIX ""
  LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin
  LINK_DEPENDS ${PROJECT_SOURCE_DIR}/fuzz/QvnTpmKspFuzz.map)

add_executable(hardening_fuzz_replay ${PROJECT_SOURCE_DIR}/fuzz/KspFuzzTarget.cpp)
target_compile_options(hardening_fuzz_replay PRIVATE -Wall -Wextra -Werror)
target_compile_definitions(hardening_fuzz_replay PRIVATE QVN_FUZZ_REPLAY_MAIN
  QVN_FUZZ_MODULE_PATH="$<TARGET_FILE:qvn_replay_module>")
target_link_libraries(hardening_fuzz_replay PRIVATE qvnplatform qvn_replay_module)
add_test(NAME hardening_fuzz_replay COMMAND hardening_fuzz_replay ${PROJECT_SOURCE_DIR}/fuzz/corpus)
set_tests_properties(hardening_fuzz_replay PROPERTIES LABELS "hardening;fuzz" TIMEOUT 240)
