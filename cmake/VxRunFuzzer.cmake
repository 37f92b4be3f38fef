# Runs one fuzzer for a bounded time from a copy of its seed corpus.
# -D FUZZER=exe -D SEEDS=dir -D WORK=dir -D SECONDS=n
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
file(GLOB _seeds "${SEEDS}/*")
if(_seeds)
  file(COPY ${_seeds} DESTINATION "${WORK}")
endif()
execute_process(
  COMMAND "${FUZZER}" -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048
          -print_final_stats=1 -artifact_prefix=${WORK}/../ "${WORK}"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "fuzzer ${FUZZER} found a problem (exit ${rc})")
endif()
