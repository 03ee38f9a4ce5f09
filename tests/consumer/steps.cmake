# What the packaging tests share: the check of the variables they are given
# and one command run as a step. Set `test_name` before including this.

# Stops the test when one of the variables is unset or empty.
function(require_variables)
  foreach(var IN LISTS ARGN)
    if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
      message(FATAL_ERROR "${test_name}: ${var} is not set")
    endif()
  endforeach()
endfunction()

# Runs one command; on failure shows what it printed and stops the test.
# What it printed is left in `step_output`.
function(step what)
  execute_process(COMMAND ${ARGN}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 240)
  if(NOT rc STREQUAL "0")
    message(FATAL_ERROR "${test_name}: ${what} failed (${rc})\n"
      "command: ${ARGN}\n--- stdout ---\n${out}\n--- stderr ---\n${err}")
  endif()
  message(STATUS "${what}: ok")
  set(step_output "${out}" PARENT_SCOPE)
endfunction()
