#!/usr/bin/env bash
# corpus_coverage.sh BUILD_DIR SOURCE_DIR: builds each fuzz target with
# clang's source coverage, runs it once over its committed seeds, and fails
# unless the seeds take every branch of the record walk and of the .evt and
# .evtx readers, binary XML included.
# Two branches are out of a fuzzer's reach and allowed: the refusals of an
# image past 4 GiB and of an .evtx file past 2 GiB.
set -euo pipefail
build=$1/coverage
source=$2
. "$source/tests/evt-replay/require.sh"
require clang++=clang llvm-profdata=llvm llvm-cov=llvm
mkdir -p "$build"
flags=(-std=c++17 -O1 -fno-exceptions -fsanitize=fuzzer -fprofile-instr-generate -fcoverage-mapping -I"$source")
sources=("$source"/history/{boot_table,boot_cycle,event_time,main_procedure,scan,native_clock}.cpp
         "$source"/savedlog/{binxml,evt_file,evtx_file,power_records,record_stream,saved_log_file}.cpp
         "$source"/power/power_history.cpp
         "$source"/replay/{message_box_recorder,record_source,window_recorder}.cpp
         "$source"/window/main_title.cpp)
status=0
for target in scan_fuzz:history/scan.cpp evt_replay_fuzz:savedlog/evt_file.cpp \
              evtx_fuzz:savedlog/evtx_file.cpp,savedlog/binxml.cpp; do
    name=${target%%:*}
    clang++ "${flags[@]}" "$source/tests/fuzz/$name.cpp" "${sources[@]}" -o "$build/$name"
    LLVM_PROFILE_FILE="$build/$name.profraw" TZ=UTC "$build/$name" -runs=0 "$source/tests/fuzz/corpus/$name" >/dev/null 2>&1
    llvm-profdata merge -sparse "$build/$name.profraw" -o "$build/$name.profdata"
    IFS=, read -r -a files <<<"${target#*:}"
    for file in "${files[@]}"; do
        report=$(llvm-cov report "$build/$name" -instr-profile="$build/$name.profdata" -show-branch-summary \
                 "$source/$file" | grep -E "^TOTAL|^$source/$file" | tail -1)
        # Columns: regions, missed, cover, functions, missed, executed, lines, missed, cover, branches, missed, cover.
        missed_branches=$(awk '{print $(NF-1)}' <<<"$report")
        missed_lines=$(awk '{print $(NF-4)}' <<<"$report")
        echo "$file from the $name seeds: $(awk '{print $(NF-2)}' <<<"$report") branches, $missed_branches missed; $missed_lines lines missed"
        missed=$(llvm-cov show "$build/$name" -instr-profile="$build/$name.profdata" -show-branches=count \
                 "$source/$file" | grep -B2 -E 'Branch \([0-9]+:[0-9]+\): \[(True: 0,|.*False: 0\])' |
                 grep -E '^ *[0-9]+\|' | grep -v -e 'size > UINT32_MAX' -e 'fileSize > kEvtxMaxFileSize' || true)
        if [ -n "$missed" ]; then
            echo "branches not taken both ways:"
            echo "$missed"
            status=1
        fi
    done
done
exit $status
