# Shared-library versioning, and the install, export and package files that let
# other projects use an installed ptypilot through find_package or pkg-config.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

get_target_property(_ptypilot_type ptypilot TYPE)

# The public headers use C++20 (concepts, requires-clauses), so the
# requirement travels with the target to every consumer.
target_compile_features(ptypilot PUBLIC cxx_std_20)

# A static archive compiled as position-independent code can still be linked
# into a consumer's shared library or plug-in; the cost is negligible here.
set_target_properties(ptypilot PROPERTIES POSITION_INDEPENDENT_CODE ON)

if(_ptypilot_type STREQUAL "SHARED_LIBRARY")
  # Before 1.0 every minor release may break the ABI, so the minor number is
  # part of the soname.
  if(PROJECT_VERSION_MAJOR EQUAL 0)
    set(_ptypilot_soversion "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}")
  else()
    set(_ptypilot_soversion "${PROJECT_VERSION_MAJOR}")
  endif()
  set_target_properties(ptypilot PROPERTIES
    VERSION "${PROJECT_VERSION}"
    SOVERSION "${_ptypilot_soversion}")
  # The installed launcher finds the library beside it in any prefix.
  file(RELATIVE_PATH _ptypilot_bin_to_lib
    "/ptypilot-prefix/${CMAKE_INSTALL_BINDIR}" "/ptypilot-prefix/${CMAKE_INSTALL_LIBDIR}")
  set_target_properties(ptypilot_launcher PROPERTIES
    INSTALL_RPATH "$ORIGIN/${_ptypilot_bin_to_lib}")
endif()

if(NOT PTYPILOT_INSTALL)
  return()
endif()

set(PTYPILOT_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/ptypilot"
  CACHE STRING "Where the CMake package files of ptypilot are installed")
mark_as_advanced(PTYPILOT_INSTALL_CMAKEDIR)

# The target already names <prefix>/include for installed consumers; only a
# different include directory has to be added to what it exports.
set(_ptypilot_includes_destination)
if(NOT CMAKE_INSTALL_INCLUDEDIR STREQUAL "include")
  set(_ptypilot_includes_destination INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
endif()
install(TARGETS ptypilot
  EXPORT ptypilotTargets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
  ${_ptypilot_includes_destination})
install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/ptypilot"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
  FILES_MATCHING PATTERN "*.hpp")
install(TARGETS ptypilot_launcher RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${PROJECT_SOURCE_DIR}/docs/ptypilot.1"
  DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")

install(EXPORT ptypilotTargets
  NAMESPACE ptypilot::
  DESTINATION "${PTYPILOT_INSTALL_CMAKEDIR}")

# A library built with the SSH part needs libssh too.
set(PTYPILOT_PACKAGE_SSH ${PTYPILOT_SSH})
set(PTYPILOT_PC_SSH "")
if(PTYPILOT_SSH)
  set(PTYPILOT_PC_SSH " libssh")
endif()
if(_ptypilot_type STREQUAL "STATIC_LIBRARY")
  set(PTYPILOT_PACKAGE_STATIC TRUE)
else()
  set(PTYPILOT_PACKAGE_STATIC FALSE)
endif()
configure_package_config_file(
  "${PROJECT_SOURCE_DIR}/cmake/ptypilotConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/ptypilotConfig.cmake"
  INSTALL_DESTINATION "${PTYPILOT_INSTALL_CMAKEDIR}")
# Before 1.0 only releases with the same minor number are interchangeable.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(_ptypilot_compat SameMinorVersion)
else()
  set(_ptypilot_compat SameMajorVersion)
endif()
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/ptypilotConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY ${_ptypilot_compat})
install(FILES
  "${PROJECT_BINARY_DIR}/ptypilotConfig.cmake"
  "${PROJECT_BINARY_DIR}/ptypilotConfigVersion.cmake"
  DESTINATION "${PTYPILOT_INSTALL_CMAKEDIR}")

# The .pc file names its directories relative to where it lies, so the tree
# still works after `cmake --install --prefix` elsewhere or being moved.
set(_ptypilot_pcdir "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(PTYPILOT_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(PTYPILOT_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(PTYPILOT_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH _ptypilot_pc_up "/ptypilot-prefix/${_ptypilot_pcdir}" "/ptypilot-prefix")
  string(REGEX REPLACE "/$" "" _ptypilot_pc_up "${_ptypilot_pc_up}")
  set(PTYPILOT_PC_PREFIX "\${pcfiledir}/${_ptypilot_pc_up}")
  set(PTYPILOT_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(PTYPILOT_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file("${PROJECT_SOURCE_DIR}/cmake/ptypilot.pc.in" "${PROJECT_BINARY_DIR}/ptypilot.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/ptypilot.pc" DESTINATION "${_ptypilot_pcdir}")

# A Debian package of the installed tree: `cpack -G DEB` in the build
# directory writes ptypilot_<version>_<arch>.deb, installing under /usr.
set(CPACK_PACKAGE_NAME ptypilot)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION} (C++20 library and launcher)")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "ptypilot developers <ptypilot@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# The static library leaves PCRE2 and libvterm to its consumers' link, found
# through pkg-config; their -dev packages bring the shared libraries the
# launcher runs on as well.
if(_ptypilot_type STREQUAL "STATIC_LIBRARY")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libpcre2-dev, libvterm-dev, pkg-config")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libpcre2-8-0, libvterm0")
endif()
# Built with the SSH part, the library needs libssh as well.
if(PTYPILOT_SSH)
  if(_ptypilot_type STREQUAL "STATIC_LIBRARY")
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libssh-dev")
  else()
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libssh-4")
  endif()
endif()
include(CPack)
