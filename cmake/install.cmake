# What `cmake --install` puts under the prefix:
#   lib/libDEZozevo.so.1 (+ links)            the station's library
#   include/dezozevo/                          dezozevo.h (C), dezozevo.hpp (C++)
#   lib/cmake/DEZozevo/                        find_package(DEZozevo) -> DEZozevo::DEZozevo
#   lib/pkgconfig/dezozevo.pc                  pkg-config --cflags --libs dezozevo
#   bin/dezozevo, bin/dezozevo-sim             the commands
#   bin/dezozevo-sim-certs                     a throw-away authority and server certificate
#   share/dezozevo/site/                       sample deployment files
include(CMakePackageConfigHelpers)

set(DZ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/DEZozevo)

install(TARGETS DEZozevo EXPORT DEZozevoTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/dezozevo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT DEZozevoTargets NAMESPACE DEZozevo:: DESTINATION ${DZ_CMAKE_DIR})

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/DEZozevoConfig.cmake.in
  ${CMAKE_BINARY_DIR}/DEZozevoConfig.cmake INSTALL_DESTINATION ${DZ_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/DEZozevoConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/DEZozevoConfig.cmake ${CMAKE_BINARY_DIR}/DEZozevoConfigVersion.cmake
  DESTINATION ${DZ_CMAKE_DIR})

# The .pc file finds the prefix from its own place, so the files can be
# installed under any --prefix.
file(RELATIVE_PATH DZ_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(${CMAKE_SOURCE_DIR}/cmake/dezozevo.pc.in ${CMAKE_BINARY_DIR}/dezozevo.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/dezozevo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set_target_properties(dezozevo dezozevo-sim PROPERTIES INSTALL_RPATH "${DZ_INSTALL_RPATH}")
install(TARGETS dezozevo dezozevo-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(DIRECTORY ${CMAKE_SOURCE_DIR}/site/ DESTINATION ${CMAKE_INSTALL_DATADIR}/dezozevo/site)

install(PROGRAMS ${CMAKE_SOURCE_DIR}/sim/dezozevo-sim-certs DESTINATION ${CMAKE_INSTALL_BINDIR})
