# `cpack` in a build folder configured for /usr makes the Debian package from
# the install rules.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ekgdemo)
set(CPACK_PACKAGE_CONTACT "${EKGDEMO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Shows a simulated electrocardiogram sweeping across an oscilloscope-style\nscreen, with a fading phosphor trail, a grid and an optional ding at every\nheartbeat.")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
# The program and the desktop entry name the data folder under the configured
# prefix, so the package installs there too; debprefix.cmake refuses a .deb
# unless that is /usr.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_EKGDEMO_BUILD_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/debprefix.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# The package carries no debugging symbols.
set(CPACK_STRIP_FILES ON)
# dpkg-shlibdeps finds the libraries the program links (Qt, libpulse, libc).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its platform plugins at run time, out of sight of dpkg-shlibdeps;
# without them the program cannot open a window. The window's text is in
# Liberation Sans, whose digits fit the scale's labels.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation2")
# With it the program runs natively on a Wayland desktop, not through XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)
include(CPack)
