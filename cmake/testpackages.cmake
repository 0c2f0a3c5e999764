# What the tests and benchmarks need beyond the program: GoogleTest, Google
# Benchmark, Xlib's headers, and Qt's private API, which is its headers and
# the XKB library its target links. Sets TEST_PACKAGES_MISSING to the Debian
# packages of those that are not there.

set(TEST_PACKAGES_MISSING)
find_package(GTest QUIET)
if(NOT GTest_FOUND)
  list(APPEND TEST_PACKAGES_MISSING libgtest-dev)
endif()
find_package(benchmark QUIET)
if(NOT benchmark_FOUND)
  list(APPEND TEST_PACKAGES_MISSING libbenchmark-dev)
endif()
find_package(X11 QUIET)
if(NOT X11_FOUND)
  list(APPEND TEST_PACKAGES_MISSING libx11-dev)
endif()

# Qt6::GuiPrivate is defined with Qt's public package, headers or not, and
# links XKB::XKB, which Qt looks for as an optional dependency: both are
# checked here, or the generate step would stop on them.
find_package(Qt6 QUIET COMPONENTS Gui)
if(TARGET Qt6::GuiPrivate)
  get_target_property(qt_gui_private_dirs Qt6::GuiPrivate INTERFACE_INCLUDE_DIRECTORIES)
  find_file(qt_gui_private_header private/qguiapplication_p.h
    PATHS ${qt_gui_private_dirs} NO_DEFAULT_PATH NO_CACHE)
endif()
if(NOT qt_gui_private_header)
  list(APPEND TEST_PACKAGES_MISSING qt6-base-private-dev)
endif()
if(NOT TARGET XKB::XKB)
  list(APPEND TEST_PACKAGES_MISSING libxkbcommon-dev)
endif()
