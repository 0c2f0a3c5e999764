# cpack reads this as it starts each package. Debian's packages install under
# /usr, and the program, its menu entry and its manual page name the folders
# the build was configured for: a .deb from any other build would put its files
# where nothing looks for them.
if(CPACK_GENERATOR STREQUAL "DEB" AND
   NOT (CPACK_EKGDEMO_BUILD_PREFIX STREQUAL "/usr" AND CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr"))
  # The leading space keeps CMake from wrapping the line.
  message(FATAL_ERROR " The Debian package needs a build configured with -DCMAKE_INSTALL_PREFIX=/usr;"
    " this one is for ${CPACK_EKGDEMO_BUILD_PREFIX}.")
endif()
