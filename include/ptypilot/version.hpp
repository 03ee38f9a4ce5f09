/// \file
/// The version of the ptypilot package, for preprocessor tests and messages.
/// These name the release that was built; they are not the engine constants
/// ptypilot::version and ptypilot::revision (spawn.hpp), which the session's
/// text dump shows and which do not follow releases.
#pragma once

/// The package's major version: 0 until the interface is declared stable.
#define PTYPILOT_VERSION_MAJOR 0
/// The package's minor version: before 1.0, each one may change the ABI.
#define PTYPILOT_VERSION_MINOR 2
/// The package's patch version.
#define PTYPILOT_VERSION_PATCH 0
/// The version as one number, major * 10000 + minor * 100 + patch, for `#if`.
#define PTYPILOT_VERSION \
    (PTYPILOT_VERSION_MAJOR * 10000 + PTYPILOT_VERSION_MINOR * 100 + PTYPILOT_VERSION_PATCH)
/// The version as text, "major.minor.patch".
#define PTYPILOT_VERSION_STRING "0.2.0"
