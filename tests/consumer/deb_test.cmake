# Builds the Debian package of the build tree with CPack, lists it, and runs
# the launcher it holds. Run with `cmake -D... -P`; the variables come from
# tests/consumer/CMakeLists.txt.
cmake_minimum_required(VERSION 3.25)

set(test_name "deb test")
include("${CMAKE_CURRENT_LIST_DIR}/steps.cmake")
require_variables(BUILD_DIR WORK_DIR CPACK DPKG_DEB VERSION)

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
step("cpack -G DEB" "${CPACK}" --config "${BUILD_DIR}/CPackConfig.cmake" -G DEB -B "${WORK_DIR}")
file(GLOB debs "${WORK_DIR}/ptypilot_${VERSION}_*.deb")
list(LENGTH debs count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "deb test: expected one ptypilot_${VERSION}_<arch>.deb in ${WORK_DIR}, found '${debs}'")
endif()

step("dpkg-deb -c" "${DPKG_DEB}" -c "${debs}")
message(STATUS "${step_output}")
foreach(path
    "./usr/bin/ptypilot"
    "./usr/include/ptypilot/ptypilot.hpp"
    "./usr/include/ptypilot/version.hpp"
    "/ptypilot/ptypilotConfig.cmake"
    "/pkgconfig/ptypilot.pc"
    "./usr/share/man/man1/ptypilot.1")
  string(FIND "${step_output}" "${path}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "deb test: the package holds no ${path}")
  endif()
endforeach()
step("dpkg-deb -f" "${DPKG_DEB}" -f "${debs}" Package Version)
if(NOT step_output MATCHES "Package: ptypilot\nVersion: ${VERSION}")
  message(FATAL_ERROR "deb test: unexpected control fields:\n${step_output}")
endif()

# Unpacked where dpkg would put it, the launcher runs and knows its version.
step("dpkg-deb -x" "${DPKG_DEB}" -x "${debs}" "${WORK_DIR}/root")
step("the packaged launcher" "${WORK_DIR}/root/usr/bin/ptypilot" --version)
if(NOT step_output STREQUAL "ptypilot ${VERSION}\n")
  message(FATAL_ERROR "deb test: the packaged launcher says '${step_output}'")
endif()
