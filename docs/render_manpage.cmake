# Renders a man page with one tool and fails on any diagnostic: both groff
# and man exit 0 after formatter warnings, so standard error is what counts.
# Variables: TOOL (groff or man executable), KIND (groff|man), PAGE.
if(KIND STREQUAL "groff")
  set(cmd "${TOOL}" -man -ww -z "${PAGE}")
else()
  set(cmd "${TOOL}" -l "${PAGE}")
  # Warnings that man would otherwise only pass to a terminal.
  set(ENV{MAN_KEEP_STDERR} "1")
  set(ENV{MANWIDTH} "80")
  set(ENV{MANPAGER} "cat")
endif()
execute_process(COMMAND ${cmd}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
if(NOT rc STREQUAL "0" OR NOT err STREQUAL "")
  message(FATAL_ERROR "${KIND} on ${PAGE} answered ${rc}:\n${err}")
endif()
if(KIND STREQUAL "man" AND NOT out MATCHES "ptypilot")
  message(FATAL_ERROR "man -l ${PAGE} rendered nothing recognisable:\n${out}")
endif()
