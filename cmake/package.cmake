# The Debian package (./dz package, or cpack in a build folder): the library,
# headers, CMake and pkg-config files, both commands, the Python package where
# Debian's python3 finds it, the site samples and the documentation, all under
# /usr. The binaries are stripped; their debug information goes into
# dezozevo-dbgsym_*.ddeb (/usr/lib/debug/.build-id/), found by gdb through
# the build ID. Included last: it packs every install component there is.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/dezozevo/docs)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/dezozevo)
install(FILES ${CMAKE_SOURCE_DIR}/platform/db/drivers/odbc/README.md
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/dezozevo RENAME sql-server-driver.md)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dezozevo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}.0)
set(CPACK_PACKAGE_VENDOR "DEZozevo")
set(CPACK_PACKAGE_CONTACT "DEZozevo maintainers <dezozevo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Connects factory test stations to the MES database")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Connects factory test stations to the MES database
 The station's library libDEZozevo.so.1 with its C and C++ headers, CMake and
 pkg-config files, the dezozevo command, the MES simulator dezozevo-sim, the
 Python package dezozevo, the sample site files and the documentation.")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Depends: the shared libraries the binaries link (dpkg-shlibdeps), and python3.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3")
# dezozevo-sim-certs runs the openssl command.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "openssl")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
# prerm removes the byte code python3 wrote beside the package, so nothing is left.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/cmake/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# One package of every component, with the Python package at Debian's place
# instead of the prefix's own.
get_cmake_property(CPACK_COMPONENTS_ALL COMPONENTS)
list(REMOVE_ITEM CPACK_COMPONENTS_ALL python)
list(APPEND CPACK_COMPONENTS_ALL debian-python)
list(REMOVE_DUPLICATES CPACK_COMPONENTS_ALL)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
include(CPack)
