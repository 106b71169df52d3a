# Read by cpack for each generator. The Debian package installs the program and
# the Debian-format documents (compressed man page, changelog.gz, copyright)
# instead of the plain ones, and a stripped binary.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_CMAKE_PROJECTS
      "${CPACK_IMG_WHITEN_BINARY_DIR};img-whiten;Unspecified;/"
      "${CPACK_IMG_WHITEN_BINARY_DIR};img-whiten;debian;/")
  set(CPACK_STRIP_FILES ON)
endif()
