# Runs PROGRAM with ARGUMENT and keeps its standard output in OUTPUT, and a
# copy compressed with GZIP (-9n: no name, no time stamp) in OUTPUT.gz when
# GZIP is given. Fails, leaving no file, when the program does.
#   cmake -DPROGRAM=... -DARGUMENT=... -DOUTPUT=... [-DGZIP=...] -P capture.cmake

# The programs may be sanitizer builds; the offscreen platform needs no display.
set(ENV{ASAN_OPTIONS} detect_leaks=0)
set(ENV{QT_QPA_PLATFORM} offscreen)

execute_process(COMMAND "${PROGRAM}" "${ARGUMENT}"
    OUTPUT_FILE "${OUTPUT}.part"
    ERROR_VARIABLE errors
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${OUTPUT}.part")
  message(FATAL_ERROR "${PROGRAM} ${ARGUMENT} failed (${status}): ${errors}")
endif()
file(RENAME "${OUTPUT}.part" "${OUTPUT}")

if(GZIP)
  execute_process(COMMAND "${GZIP}" -9 -n -c "${OUTPUT}"
      OUTPUT_FILE "${OUTPUT}.gz.part"
      RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    file(REMOVE "${OUTPUT}.gz.part")
    message(FATAL_ERROR "${GZIP} could not compress ${OUTPUT}")
  endif()
  file(RENAME "${OUTPUT}.gz.part" "${OUTPUT}.gz")
endif()
