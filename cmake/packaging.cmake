# Debian packages, made by CPack's DEB generator from the install components of
# cmake/install.cmake (`make package`, or `cmake --build build --target package`):
#
#   libqorvi-netpod2      runtime  the library and its SONAME link
#   libqorvi-netpod-dev   dev      header, development link, CMake package, pkg-config file
#   qorvi-netpod-tools    tools    netpod, netpod-emulator, their manual pages and, where
#                                  the source tree has it, the Wireshark dissector
#   python3-qorvi-netpod  python   the Python package, where python/qorvi_netpod exists
#
# The packages install under /usr. The library goes to the libdir of the build
# (CMAKE_INSTALL_LIBDIR), so that the build tree that runs the tests also makes the
# packages; the CMake package and the pkg-config file locate the prefix from their own
# place, so they are right under /usr as they are under any install prefix.

set(NETPOD_DEB_MAINTAINER "Qorvi-NETPOD developers <developers@qorvi-netpod.invalid>"
  CACHE STRING "Maintainer field of the Debian packages")
# The Debian revision of the packages; packaging/debian/changelog names the version
# <project version>-<revision> in its first entry.
set(NETPOD_DEB_REVISION 1)

set(NETPOD_DEB_RUNTIME libqorvi-netpod${PROJECT_VERSION_MAJOR})
set(NETPOD_DEB_DEV libqorvi-netpod-dev)
set(NETPOD_DEB_TOOLS qorvi-netpod-tools)
set(NETPOD_DEB_PYTHON python3-qorvi-netpod)

# Optional parts that other work adds to the source tree. The globs are checked again
# at every build, so that their arrival reconfigures the tree.
file(GLOB NETPOD_DISSECTOR CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/wireshark/qorvi_netpod.lua)
file(GLOB_RECURSE NETPOD_PYTHON_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/python/qorvi_netpod/*.py)

set(NETPOD_DEB_COMPONENTS runtime dev tools)
if(NETPOD_PYTHON_SOURCES)
  list(APPEND NETPOD_DEB_COMPONENTS python)
endif()

# Manual pages and the Debian changelog travel compressed, without a time stamp, so
# that two builds of the same sources give the same files.
set(NETPOD_PACKAGING_OUT ${PROJECT_BINARY_DIR}/packaging)
set(NETPOD_COMPRESSED_FILES "")
function(netpod_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "gzip -9n -c \"$0\" >\"$1\"" ${source} ${output}
    DEPENDS ${source} VERBATIM)
  set(NETPOD_COMPRESSED_FILES ${NETPOD_COMPRESSED_FILES} ${output} PARENT_SCOPE)
endfunction()
foreach(page netpod.1 netpod-emulator.1)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.in ${NETPOD_PACKAGING_OUT}/${page} @ONLY)
  netpod_gzip(${NETPOD_PACKAGING_OUT}/${page} ${NETPOD_PACKAGING_OUT}/${page}.gz)
endforeach()
netpod_gzip(${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${NETPOD_PACKAGING_OUT}/changelog.Debian.gz)
add_custom_target(netpod_packaging_files ALL DEPENDS ${NETPOD_COMPRESSED_FILES})

install(FILES ${NETPOD_PACKAGING_OUT}/netpod.1.gz ${NETPOD_PACKAGING_OUT}/netpod-emulator.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

# Wireshark loads Lua dissectors from its global plugin folder, which is under the
# multiarch library folder on Debian, whatever libdir this build uses.
if(NETPOD_DISSECTOR)
  if(CMAKE_LIBRARY_ARCHITECTURE)
    set(NETPOD_WIRESHARK_PLUGIN_DIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/plugins)
  else()
    set(NETPOD_WIRESHARK_PLUGIN_DIR ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins)
  endif()
  install(FILES ${NETPOD_DISSECTOR} DESTINATION ${NETPOD_WIRESHARK_PLUGIN_DIR} COMPONENT tools)
endif()

# The Python package goes where Debian's python3 finds packages of the system, so
# only into the Debian package: a plain `cmake --install` leaves it out.
if(NETPOD_PYTHON_SOURCES)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/qorvi_netpod DESTINATION lib/python3/dist-packages
    COMPONENT python EXCLUDE_FROM_ALL
    PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE)
endif()

# Each package carries its changelog and copyright file in /usr/share/doc/<package>.
# They are Debian's; a plain `cmake --install` leaves them out.
foreach(component ${NETPOD_DEB_COMPONENTS})
  string(TOUPPER ${component} upper)
  install(FILES ${NETPOD_PACKAGING_OUT}/changelog.Debian.gz ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${NETPOD_DEB_${upper}} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# A rule without a component would land in no package.
get_cmake_property(NETPOD_INSTALL_COMPONENTS COMPONENTS)
if("Unspecified" IN_LIST NETPOD_INSTALL_COMPONENTS)
  message(WARNING "An install rule names no component, so its files are in no Debian package; "
    "give it COMPONENT runtime, dev, tools or python.")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qorvi-netpod)
set(CPACK_PACKAGE_VENDOR "Qorvi-NETPOD developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${NETPOD_DEB_COMPONENTS})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${NETPOD_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${NETPOD_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps finds what the binaries need (libc6, libstdc++6, ...); the library
# package declares its own shlibs, so that programs built against it depend on it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link the library of this build, which no installed package holds yet:
# dpkg-shlibdeps finds it in the build tree, and the dependency on its package comes
# from the component dependencies below.
get_target_property(NETPOD_LIBRARY_BUILD_DIR qorvi-netpod BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${NETPOD_LIBRARY_BUILD_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Every other package needs the library of exactly its own version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${NETPOD_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# dpkg runs ldconfig once after every package that activates its trigger.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "host library for the Qorvi-NETPOD Ethernet I/O modules
The library finds Qorvi-NETPOD and Qorvi-NETPOD 2 modules on the local
network, changes their IP address, and reads and writes their registers over
TCP, on demand or polled on a millisecond timer. It also runs I2C transfers
through a module and tunnels its RS232 port. Programs call it through a flat
table of C functions.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${NETPOD_DEB_DEV})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "host library for the Qorvi-NETPOD Ethernet I/O modules - development files
The C header qorvi_netpod.h, the link to the shared library, the CMake package
(find_package(QorviNetpod) gives QorviNetpod::qorvi-netpod) and the pkg-config
file qorvi-netpod.pc.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${NETPOD_DEB_TOOLS})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "command-line tool and emulator for the Qorvi-NETPOD Ethernet I/O modules
netpod finds, inspects, polls and configures Qorvi-NETPOD modules from the
shell. netpod-emulator plays one or more modules on loopback addresses, with
injectable faults, so that the tool and programs using the library run
without hardware.")
if(NETPOD_DISSECTOR)
  string(APPEND CPACK_COMPONENT_TOOLS_DESCRIPTION
    "\nA Lua dissector shows the modules' packets in Wireshark.")
endif()

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${NETPOD_DEB_PYTHON})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS python3)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
  "Python interface to the Qorvi-NETPOD Ethernet I/O modules
The qorvi_netpod package calls libqorvi-netpod from Python: it finds
Qorvi-NETPOD and Qorvi-NETPOD 2 modules on the local network, and reads and
writes their registers over TCP, on demand or polled on a millisecond timer.")

include(CPack)
