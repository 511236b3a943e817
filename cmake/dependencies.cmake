# Build dependencies. Each missing one stops configure with the Debian package that provides it
# (scripts/setup installs them all).

function(vantrel_missing what package)
  message(FATAL_ERROR "${what} not found: apt-get install ${package} (or run scripts/setup)")
endfunction()

find_package(PkgConfig QUIET)
if(NOT PkgConfig_FOUND)
  vantrel_missing("pkg-config" pkg-config)
endif()
pkg_check_modules(PLIST QUIET IMPORTED_TARGET libplist-2.0)
if(NOT PLIST_FOUND)
  vantrel_missing("libplist 2 (pkg-config module libplist-2.0)" libplist-dev)
endif()
pkg_check_modules(SYSTEMD QUIET IMPORTED_TARGET libsystemd)
if(NOT SYSTEMD_FOUND)
  vantrel_missing("libsystemd (pkg-config module libsystemd)" libsystemd-dev)
endif()
# The multiplexer client reads the daemon's XML replies with expat.
pkg_check_modules(EXPAT QUIET IMPORTED_TARGET expat)
if(NOT EXPAT_FOUND)
  vantrel_missing("expat (pkg-config module expat)" libexpat1-dev)
endif()
find_package(Threads REQUIRED)
# Text building in the console and the simulator.
find_package(fmt 9 QUIET)
if(NOT fmt_FOUND)
  vantrel_missing("{fmt} 9 (CMake package fmt)" libfmt-dev)
endif()
find_package(nlohmann_json 3 QUIET)
if(NOT nlohmann_json_FOUND)
  vantrel_missing("JSON for Modern C++ (CMake package nlohmann_json)" nlohmann-json3-dev)
endif()

# Header-only: the forwarding threads' single-producer queue.
find_path(READERWRITERQUEUE_INCLUDE_DIR readerwriterqueue/readerwritercircularbuffer.h)
if(NOT READERWRITERQUEUE_INCLUDE_DIR)
  vantrel_missing("readerwriterqueue/readerwritercircularbuffer.h" libreaderwriterqueue-dev)
endif()
add_library(vantrel_readerwriterqueue INTERFACE)
target_include_directories(vantrel_readerwriterqueue SYSTEM INTERFACE ${READERWRITERQUEUE_INCLUDE_DIR})

if(VANTREL_BUILD_TESTS)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND OR NOT TARGET GTest::gmock)
    vantrel_missing("GoogleTest and GoogleMock (needed for VANTREL_BUILD_TESTS=ON; -DVANTREL_BUILD_TESTS=OFF builds without)"
                    "libgtest-dev libgmock-dev")
  endif()
endif()
