# cmake -DSCDOC=... -DGZIP=... -DIN=page.1.scd -DOUT=page.1 -P RunScdoc.cmake
# scdoc reads standard input and writes standard output; the gzipped copy is
# made without a name or time stamp (gzip -n), so the same page gives the
# same bytes in every build.
execute_process(COMMAND ${SCDOC} INPUT_FILE ${IN} OUTPUT_FILE ${OUT}.tmp RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  file(REMOVE ${OUT}.tmp)
  message(FATAL_ERROR "scdoc failed on ${IN}")
endif()
file(RENAME ${OUT}.tmp ${OUT})
execute_process(COMMAND ${GZIP} -9 -n -c ${OUT} OUTPUT_FILE ${OUT}.gz RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${OUT}")
endif()
