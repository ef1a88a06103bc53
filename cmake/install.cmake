# Installing Tessel as a Linux desktop program (cmake --install), and the Debian package that
# cpack builds from the same rules (scripts/package). The installed program finds its web folder
# at ../share/tessel/web from its own folder, and so knows to keep its data per user.
include(GNUInstallDirs)
if(NOT CMAKE_INSTALL_BINDIR STREQUAL "bin" OR NOT CMAKE_INSTALL_DATADIR STREQUAL "share")
  message(FATAL_ERROR "tessel looks for its web folder at ../share/tessel/web from its own "
    "folder: keep CMAKE_INSTALL_BINDIR=bin and CMAKE_INSTALL_DATADIR=share")
endif()

# The launcher's and the AppStream entry's reverse-DNS name. No domain is the maker's yet, so it
# lies under the reserved "invalid" domain, as the web service's placeholder host does.
set(TESSEL_APP_ID "invalid.tessel.Tessel")
# Where the package puts the program; its maintainer script grants this file the port capability.
set(TESSEL_PACKAGE_PREFIX "/usr")

install(TARGETS tessel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The window's module, which the program opens from ../lib/tessel when it shows a window.
install(TARGETS tessel_desktop_module LIBRARY DESTINATION lib/tessel)
install(DIRECTORY ${TESSEL_WEB_DIR}/images DESTINATION ${CMAKE_INSTALL_DATADIR}/tessel/web
  PATTERN ".*" EXCLUDE)
add_subdirectory(packaging)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessel)
set(CPACK_PACKAGE_VENDOR Tessel)
set(CPACK_PACKAGE_CONTACT "Tessel developers <tessel@tessel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "share files and folders with friends over the web")
set(CPACK_PACKAGE_DESCRIPTION "Tessel shares files and folders of your disk with friends over \
the web, from your own computer. Friends open its address in any browser to list, download \
(resumable), browse folders and fetch a folder as one zip; with an account they upload files \
and remove what they uploaded. Tessel forwards its port on the router by UPnP.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${TESSEL_PACKAGE_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# The libraries' packages come from dpkg-shlibdeps; setcap is for the maintainer script.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS libcap2-bin)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
