# libFuzzer targets under ASan and UBSan. ctest runs each for a short bounded
# time from the committed corpus; longer runs: build/fuzz/<target> -max_total_time=N
# (see the README).
enable_testing()
set(FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
set(FUZZ_SECONDS 20 CACHE STRING "How long each fuzz target runs under ctest")
# Start-up, the corpus and the final report add a second or two to a run.
math(EXPR FUZZ_TIMEOUT "${FUZZ_SECONDS} * 2 + 60")

foreach(target scan_fuzz evt_replay_fuzz evtx_fuzz)
    add_executable(${target} tests/fuzz/${target}.cpp ${HISTORY_SOURCES} ${TITLE_SOURCES} ${REPLAY_SOURCES} ${CLOCK_SOURCES}
                   ${POWER_SOURCES})
    target_compile_options(${target} PRIVATE ${FUZZ_FLAGS})
    target_link_options(${target} PRIVATE ${FUZZ_FLAGS})
    set(work ${CMAKE_BINARY_DIR}/corpus/${target})
    add_test(NAME ${target}.smoke
             COMMAND sh -c "mkdir -p '${work}' && exec \"$0\" -max_total_time=${FUZZ_SECONDS} -timeout=5 -rss_limit_mb=2048 -print_final_stats=1 '${work}' '${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${target}'"
                     $<TARGET_FILE:${target}>)
    set_tests_properties(${target}.smoke PROPERTIES ENVIRONMENT "TZ=Etc/GMT+5" TIMEOUT ${FUZZ_TIMEOUT})
endforeach()

# The committed corpus must take every branch of the record walk and the .evt reader.
add_test(NAME fuzz.corpus_takes_every_branch
         COMMAND bash ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus_coverage.sh ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
# It compiles both targets with coverage first: about 20 s here.
set_tests_properties(fuzz.corpus_takes_every_branch PROPERTIES TIMEOUT 120)
