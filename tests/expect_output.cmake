# Runs COMMAND with ARGUMENTS (a ;-list) and fails unless it exits with EXIT_CODE and its output
# (stdout and stderr together) matches PATTERN.
string(REPLACE "|" ";" arguments "${ARGUMENTS}")
execute_process(COMMAND ${COMMAND} ${arguments}
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
if(NOT result STREQUAL "${EXIT_CODE}")
    message(FATAL_ERROR "exit code ${result}, expected ${EXIT_CODE}; output:\n${output}")
endif()
string(REPLACE "\n" " " flat "${output}")
if(NOT flat MATCHES "${PATTERN}")
    message(FATAL_ERROR "output does not match '${PATTERN}':\n${output}")
endif()
message(STATUS "${output}")
