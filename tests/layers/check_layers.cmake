# The parts depend one way: the operating-system helpers, then errors, then
# searching, then the screen, then the session, then SSH channels, then run(), then the repl,
# then the launcher. A file may include headers of its own part and of the
# parts below it, never of a part above; of another part's private headers
# only those it offers to the parts above (offered_<part>; every header of
# os/ is offered). Run as a test:
#   cmake -DSOURCE_DIR=<repo> -P check_layers.cmake

cmake_minimum_required(VERSION 3.25)

set(parts os errors search screen session ssh run repl launcher)
# Public headers, by the part that implements them.
set(public_os export.hpp)
set(public_errors errors.hpp version.hpp)
set(public_search regex.hpp pattern.hpp searcher.hpp)
set(public_screen keys.hpp screen.hpp screen_picture.hpp)
set(public_session defaults.hpp descriptor_close.hpp expect_input.hpp expect_many.hpp seconds.hpp session_group.hpp spawn.hpp
  spawn_options.hpp split_command_line.hpp step_result.hpp which.hpp
  argument_list.hpp interact.hpp line_iterator.hpp spawn_fields.hpp replay.hpp)
set(public_ssh ssh.hpp)
set(public_run run.hpp)
set(public_repl repl.hpp)
set(public_launcher)
# Private headers a part offers to the parts above it: the internal
# interfaces they are built on. Any other private header stays its part's own.
set(offered_search searcher_bytes.hpp)
set(offered_screen asciicast.hpp asciicast_read.hpp escape_filter.hpp key_input.hpp terminal.hpp)
set(offered_session byte_source.hpp timeout_arg.hpp)

function(level_of_part part out)
  list(FIND parts "${part}" level)
  set(${out} ${level} PARENT_SCOPE)
endfunction()

function(level_of_public header out)
  set(found -1)
  set(level 0)
  foreach(part IN LISTS parts)
    if(header IN_LIST public_${part})
      set(found ${level})
    endif()
    math(EXPR level "${level} + 1")
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

set(failures "")
function(check_file file part level)
  file(STRINGS "${file}" includes REGEX "^#include [<\"]")
  foreach(line IN LISTS includes)
    set(target_level -1)
    if(line MATCHES "^#include <ptypilot/([a-z_]+\\.hpp)>")
      if(CMAKE_MATCH_1 STREQUAL "ptypilot.hpp")
        set(target_level 99)
      else()
        level_of_public("${CMAKE_MATCH_1}" target_level)
        if(target_level EQUAL -1)
          set(failures "${failures}\n  ${file}: ${line}: a public header no part implements" PARENT_SCOPE)
        endif()
      endif()
    elseif(line MATCHES "^#include \"([a-z_]+)/([a-z_]+\\.hpp)\"")
      set(target_part "${CMAKE_MATCH_1}")
      set(target_header "${CMAKE_MATCH_2}")
      level_of_part("${target_part}" target_level)
      if(NOT target_part STREQUAL part AND NOT target_part STREQUAL "os" AND NOT target_level EQUAL -1
         AND NOT target_header IN_LIST offered_${target_part})
        set(failures "${failures}\n  ${file}: ${line}: a private header of ${target_part}/, which offers only: ${offered_${target_part}}" PARENT_SCOPE)
      endif()
    endif()
    if(target_level GREATER level)
      set(failures "${failures}\n  ${file}: ${line}" PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

set(level 0)
foreach(part IN LISTS parts)
  file(GLOB sources "${SOURCE_DIR}/${part}/*.cpp" "${SOURCE_DIR}/${part}/*.hpp")
  foreach(header IN LISTS public_${part})
    list(APPEND sources "${SOURCE_DIR}/include/ptypilot/${header}")
  endforeach()
  foreach(file IN LISTS sources)
    check_file("${file}" ${part} ${level})
  endforeach()
  math(EXPR level "${level} + 1")
endforeach()

file(GLOB all_public RELATIVE "${SOURCE_DIR}/include/ptypilot" "${SOURCE_DIR}/include/ptypilot/*.hpp")
foreach(header IN LISTS all_public)
  level_of_public("${header}" header_level)
  if(header_level EQUAL -1 AND NOT header STREQUAL "ptypilot.hpp")
    set(failures "${failures}\n  include/ptypilot/${header}: no part implements it")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "Includes against the direction of the parts, or into another part's private headers:${failures}")
endif()
message(STATUS "Every include points to the same part, or to a public or offered header of one below it.")
