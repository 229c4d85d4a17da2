# Runs the probe into OUT and compares it with the driver's known answers.
execute_process(COMMAND ${EMULATOR} ${PROBE} OUTPUT_FILE ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "probe failed: ${status}")
endif()
execute_process(COMMAND sh ${DIR}/compare.sh --subset ${DIR}/driver.txt ${OUT} ${DIR}/allow.txt
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "simcam differs from the driver (probe output: ${OUT})")
endif()
