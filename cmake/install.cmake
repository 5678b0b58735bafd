# What `cmake --install` puts in place: the library with its SONAME links, the header,
# the netpod tool, a CMake package (find_package(QorviNetpod) gives the imported
# target QorviNetpod::qorvi-netpod) and the pkg-config file qorvi-netpod.pc.
# netpod-emulator installs itself from emulator/.
#
# Every rule names the component, and so the Debian package, its files belong to
# (cmake/packaging.cmake): runtime (the library and its SONAME link), dev (header,
# development link, CMake package, pkg-config file), tools (netpod, netpod-emulator,
# their manual pages, the Wireshark dissector) and python.
include(CMakePackageConfigHelpers)

set(NETPOD_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QorviNetpod)

install(TARGETS qorvi-netpod EXPORT QorviNetpodTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/qorvi_netpod.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev)

if(TARGET netpod)
  # The installed tool finds the installed library wherever the prefix is.
  file(RELATIVE_PATH NETPOD_BIN_TO_LIB /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
  set_target_properties(netpod PROPERTIES INSTALL_RPATH "$ORIGIN/${NETPOD_BIN_TO_LIB}")
  install(TARGETS netpod RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()

install(EXPORT QorviNetpodTargets NAMESPACE QorviNetpod:: DESTINATION ${NETPOD_CMAKE_PACKAGE_DIR}
  COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QorviNetpodConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QorviNetpodConfig.cmake INSTALL_DESTINATION ${NETPOD_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QorviNetpodConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QorviNetpodConfig.cmake ${PROJECT_BINARY_DIR}/QorviNetpodConfigVersion.cmake
  DESTINATION ${NETPOD_CMAKE_PACKAGE_DIR} COMPONENT dev)

# The pkg-config file locates the prefix from its own place, so that it stays right
# when the install prefix is chosen only at `cmake --install --prefix` time.
file(RELATIVE_PATH NETPOD_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" NETPOD_PC_TO_PREFIX "${NETPOD_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/qorvi-netpod.pc.in ${PROJECT_BINARY_DIR}/qorvi-netpod.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qorvi-netpod.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)

include(${CMAKE_CURRENT_LIST_DIR}/packaging.cmake)
