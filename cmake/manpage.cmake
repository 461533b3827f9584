# Turns the scdoc source of the manual page into roff and fails on anything
# that man warns about, so that a broken page never reaches the build tree.
# Called by the build with -DSCDOC=, -DMAN=, -DINPUT= and -DOUTPUT=.
execute_process(COMMAND ${SCDOC} INPUT_FILE ${INPUT} OUTPUT_FILE ${OUTPUT}.tmp
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "scdoc failed on ${INPUT}")
endif()

# A fixed locale, width and options: the page alone decides the outcome.
set(ENV{LC_ALL} C.UTF-8)
set(ENV{MANWIDTH} 80)
unset(ENV{MANOPT})
execute_process(COMMAND ${MAN} --warnings -l ${OUTPUT}.tmp
                OUTPUT_QUIET ERROR_VARIABLE warnings RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "man finds problems in ${OUTPUT}:\n${warnings}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
