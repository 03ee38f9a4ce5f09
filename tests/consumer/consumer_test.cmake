# Installs the build into a fresh prefix, then builds and runs a small program
# against that prefix, once through find_package and once through pkg-config.
# Run with `cmake -D... -P`; the variables come from tests/consumer/CMakeLists.txt.
cmake_minimum_required(VERSION 3.25)

set(test_name "consumer test")
include("${CMAKE_CURRENT_LIST_DIR}/steps.cmake")
require_variables(BUILD_DIR PROJECT_DIR WORK_DIR GENERATOR CXX LIBDIR INCLUDEDIR BINDIR MANDIR)

# Every run starts from nothing, so no file left by an earlier run can hide a
# missing install rule.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")

set(config_args)
if(CONFIG)
  set(config_args --config "${CONFIG}")
endif()
step("install into ${prefix}" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" ${config_args})

foreach(f
    "${INCLUDEDIR}/ptypilot/ptypilot.hpp"
    "${INCLUDEDIR}/ptypilot/spawn.hpp"
    "${BINDIR}/ptypilot"
    "${MANDIR}/man1/ptypilot.1"
    "${LIBDIR}/cmake/ptypilot/ptypilotConfig.cmake"
    "${LIBDIR}/cmake/ptypilot/ptypilotConfigVersion.cmake"
    "${LIBDIR}/cmake/ptypilot/ptypilotTargets.cmake"
    "${LIBDIR}/pkgconfig/ptypilot.pc")
  if(IS_ABSOLUTE "${f}")
    set(path "${f}")
  else()
    set(path "${prefix}/${f}")
  endif()
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "consumer test: ${path} was not installed")
  endif()
endforeach()
if(NOT IS_ABSOLUTE "${LIBDIR}")
  set(libdir "${prefix}/${LIBDIR}")
else()
  set(libdir "${LIBDIR}")
endif()
if(NOT IS_ABSOLUTE "${BINDIR}")
  set(bindir "${prefix}/${BINDIR}")
else()
  set(bindir "${BINDIR}")
endif()

# The installed launcher must start (in a shared build, find its library)
# and report a missing program as documented.
execute_process(COMMAND "${bindir}/ptypilot"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 30)
if(NOT rc STREQUAL "1" OR NOT out STREQUAL "No program specified\n")
  message(FATAL_ERROR "consumer test: the installed launcher answered ${rc}: '${out}' '${err}'")
endif()
message(STATUS "installed launcher: ok")

# A user's strict warnings, as errors, under each compiler: the installed
# headers through -I (as pkg-config gives them), at -O2 for the warnings that
# need the optimiser.
if(NOT IS_ABSOLUTE "${INCLUDEDIR}")
  set(includedir "${prefix}/${INCLUDEDIR}")
else()
  set(includedir "${INCLUDEDIR}")
endif()
foreach(strict_cxx IN ITEMS "${CXX}" "${CLANGXX}")
  if(strict_cxx)
    step("strict warnings with ${strict_cxx}"
      "${strict_cxx}" -std=c++20 -O2 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
        -Wold-style-cast -Werror "-I${includedir}" -c "${PROJECT_DIR}/hello.cpp"
        -o "${WORK_DIR}/strict.o")
  endif()
endforeach()

# Only the fresh prefix may satisfy find_package: no package registry, no
# prefix from the environment.
set(cmake_args
  -G "${GENERATOR}"
  "-DCMAKE_CXX_COMPILER=${CXX}"
  "-DCMAKE_PREFIX_PATH=${prefix}"
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF
  -DCMAKE_BUILD_TYPE=RelWithDebInfo)
if(MAKE_PROGRAM)
  list(APPEND cmake_args "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}")
endif()
if(EXTRA_FLAGS)
  list(APPEND cmake_args "-DCMAKE_CXX_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}")
endif()
set(ENV{CMAKE_PREFIX_PATH} "")
step("configure with find_package"
  "${CMAKE_COMMAND}" -S "${PROJECT_DIR}" -B "${WORK_DIR}/cmake-build" ${cmake_args})
step("build with find_package" "${CMAKE_COMMAND}" --build "${WORK_DIR}/cmake-build")
step("run the find_package build" "${WORK_DIR}/cmake-build/consumer")

if(NOT PKG_CONFIG)
  message(STATUS "pkg-config not found: that half is left out")
  return()
endif()
set(ENV{PKG_CONFIG_PATH} "${libdir}/pkgconfig")
step("pkg-config" "${PKG_CONFIG}" --cflags --libs --static ptypilot)
string(STRIP "${step_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")
set(rpath)
if(SHARED)
  set(rpath "-Wl,-rpath,${libdir}")
endif()
step("build with pkg-config"
  "${CXX}" -std=c++20 ${extra} "${PROJECT_DIR}/hello.cpp" -o "${WORK_DIR}/consumer-pc" ${pc_flags} ${rpath})
step("run the pkg-config build" "${WORK_DIR}/consumer-pc")
