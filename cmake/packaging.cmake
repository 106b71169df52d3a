# Install layout and release packages.
#   Windows: a flat zip, img-whiten-<version>-win64.zip (the exe, README, LICENSE, CHANGELOG).
#   Unix:    bin/, share/man/man1/, share/doc/img-whiten/; cpack makes the same as
#            img-whiten-<version>-linux-<arch>.tar.gz, and `cpack -G DEB` a Debian package.
if(WIN32)
  install(TARGETS img-whiten RUNTIME DESTINATION .)
  install(FILES README.md LICENSE CHANGELOG.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "img-whiten-${PROJECT_VERSION}-win64")
else()
  include(GNUInstallDirs)
  install(TARGETS img-whiten RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES doc/img-whiten.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT docs)
  install(FILES README.md LICENSE CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT docs)

  # The Debian package's own documents, which Debian wants compressed and in its
  # own formats: installed only by `cpack -G DEB`.
  find_program(GZIP_PROGRAM gzip)
  if(GZIP_PROGRAM)
    set(debian_dir ${PROJECT_BINARY_DIR}/debian)
    add_custom_command(
      OUTPUT ${debian_dir}/img-whiten.1.gz ${debian_dir}/changelog.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${debian_dir}
      COMMAND ${GZIP_PROGRAM} -9n -c ${PROJECT_SOURCE_DIR}/doc/img-whiten.1 > ${debian_dir}/img-whiten.1.gz
      COMMAND ${GZIP_PROGRAM} -9n -c ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${debian_dir}/changelog.gz
      DEPENDS doc/img-whiten.1 packaging/debian/changelog
      VERBATIM)
    add_custom_target(debian_documents ALL DEPENDS ${debian_dir}/img-whiten.1.gz ${debian_dir}/changelog.gz)
    install(FILES ${debian_dir}/img-whiten.1.gz DESTINATION share/man/man1
            COMPONENT debian EXCLUDE_FROM_ALL)
    install(FILES ${debian_dir}/changelog.gz packaging/debian/copyright README.md CHANGELOG.md
            DESTINATION share/doc/img-whiten COMPONENT debian EXCLUDE_FROM_ALL)
  endif()

  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME "img-whiten-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-per-generator.cmake)
  set(CPACK_IMG_WHITEN_BINARY_DIR ${PROJECT_BINARY_DIR})
endif()

set(CPACK_PACKAGE_NAME img-whiten)
set(CPACK_PACKAGE_VENDOR "The img-whiten developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "img-whiten opens a version-2 IMG asset archive in place and turns every\n"
  "grey (149, 149, 149, 255) material colour of its .dff models into opaque\n"
  "white. It writes back only the sectors it changed, prints one line per\n"
  "model, and never makes a damaged archive worse.")
set(CPACK_PACKAGE_HOMEPAGE_URL "${PROJECT_HOMEPAGE_URL}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

set(CPACK_DEBIAN_PACKAGE_NAME img-whiten)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The img-whiten developers <maintainers@img-whiten.example.org>")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
