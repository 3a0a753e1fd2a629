# The layout check must fail, naming the rows, when a structure differs: the
# sim side here was measured with a copy of KDPC that has one field too many.
execute_process(
  COMMAND ${CMAKE_COMMAND} -DLIST=${LIST} -DMINGW=${MINGW} -DSIM=${SIM} -DTABLE=${TABLE} -P ${COMPARE}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(all "${out}${err}")
if(rc EQUAL 0)
  message(FATAL_ERROR "the layout check passed a KDPC with an extra field:\n${all}")
endif()
# The size row and every field behind the extra one, with both numbers.
foreach(row "KDPC +\\(sizeof/alignof\\) +32/4 +36/4"
            "KDPC +DpcListEntry +4/8 +8/8"
            "KDPC +DpcData +28/4 +32/4"
            "layout check failed")
  if(NOT all MATCHES "${row}")
    message(FATAL_ERROR "the layout check's message lacks \"${row}\":\n${all}")
  endif()
endforeach()
# Fields in front of the change, and other structures, are not reported.
if(all MATCHES "KDPC +Number" OR all MATCHES "\nLIST_ENTRY ")
  message(FATAL_ERROR "the layout check reported rows that agree:\n${all}")
endif()
