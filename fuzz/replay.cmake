# Each fuzz target also builds as a plain program that replays its committed
# corpus (fuzz/corpus/<target>/) as an ordinary test. The targets read their
# input through libFuzzer's FuzzedDataProvider.h, a header that clang ships.
file(GLOB ptypilot_clang_includes /usr/lib/llvm-*/lib/clang/*/include)
find_path(PTYPILOT_FUZZED_DATA_PROVIDER_DIR fuzzer/FuzzedDataProvider.h PATHS ${ptypilot_clang_includes})
if(NOT PTYPILOT_FUZZED_DATA_PROVIDER_DIR)
  message(STATUS "fuzzer/FuzzedDataProvider.h not found (scripts/install-deps installs clang): "
    "the fuzz corpora are not replayed")
  return()
endif()
# Only that header: the rest of clang's own directory is not for another compiler.
set(ptypilot_provider_dir ${CMAKE_CURRENT_BINARY_DIR}/fuzzed_data_provider)
configure_file(${PTYPILOT_FUZZED_DATA_PROVIDER_DIR}/fuzzer/FuzzedDataProvider.h
  ${ptypilot_provider_dir}/fuzzer/FuzzedDataProvider.h COPYONLY)
foreach(target command_line search pattern screen)
  add_executable(fuzz_${target}_replay ${CMAKE_CURRENT_LIST_DIR}/${target}_fuzzer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/replay_main.cpp)
  target_include_directories(fuzz_${target}_replay PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_include_directories(fuzz_${target}_replay SYSTEM PRIVATE ${ptypilot_provider_dir})
  target_link_libraries(fuzz_${target}_replay PRIVATE ptypilot::ptypilot ptypilot_launcher_core ptypilot_warnings)
  add_test(NAME fuzz_${target}_corpus
    COMMAND fuzz_${target}_replay ${CMAKE_CURRENT_LIST_DIR}/corpus/${target})
  set_tests_properties(fuzz_${target}_corpus PROPERTIES TIMEOUT 60 LABELS "fuzz")
endforeach()
