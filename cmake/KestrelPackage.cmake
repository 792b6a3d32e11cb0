# `make package`: Debian binary packages of the installed parts, split as a
# distribution splits them, one per install component:
#   libkestrel1          runtime  libKestrel.so.1 and HostProc beside the driver folder
#   libkestrelc1         c        libKestrelC.so.1, the C interface
#   libkestrel-dev       dev      headers, the libKestrel.so/libKestrelC.so links,
#                                 pkg-config and CMake package files
#   kestrel              tools    the command, its man pages and completion, the
#                                 simulated camera and the block driver
#   python3-kestrel      python   the Python package
#   gstreamer1.0-kestrel gstreamer  the GStreamer plugin, when the tree has one
# Binaries are stripped; their debug information goes into one -dbgsym
# package (.ddeb) per package. Run-time dependencies come from dpkg-shlibdeps, those
# between the packages from the components' own.
if(NOT TARGET Kestrel)
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kestrel")
set(CPACK_PACKAGE_CONTACT "Kestrel developers <kestrel-devel@lists.kestrel-project.org>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# Installed with DESTDIR into /usr, so that install code sees the real prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
# Not stripped by CPack itself: the debug-information packages take the
# debug sections out of each binary (objcopy --only-keep-debug, then
# --strip-unneeded) and keep them under /usr/lib/debug/.build-id.
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libKestrelC.so.1 needs libKestrel.so.1, which no installed package has yet.
get_target_property(KESTREL_LIBRARY_DIR Kestrel BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${KESTREL_LIBRARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The debug packages' md5sums and documentation links, which CPack gets wrong.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/FixDebugPackages.cmake)
# The shared libraries' packages run ldconfig by trigger.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_C_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)

# kestrel_package(<component> <package> <section> <summary> <description> [<depends on components>])
# Each package has its copyright file and changelog in /usr/share/doc/<package>.
execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/cmake/changelog.gz)
# Components some install() rule uses; a part the tree lacks makes no package.
get_cmake_property(KESTREL_COMPONENTS COMPONENTS)
macro(kestrel_package component package section summary description)
  if(${component} IN_LIST KESTREL_COMPONENTS)
    string(TOUPPER ${component} upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
    set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section})
    set(CPACK_COMPONENT_${upper}_DESCRIPTION "${summary}\n${description}")
    set(CPACK_COMPONENT_${upper}_DEPENDS ${ARGN})
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/cmake/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  endif()
endmacro()

kestrel_package(runtime libkestrel1 libs "crash-proof proxy for video-camera drivers"
  "An application loads libKestrel.so.1 instead of a camera driver and calls\nthe same driver API; the calls run in HostProc, a process of their own that\nloads the real driver, so a driver crash costs only that process.")
kestrel_package(c libkestrelc1 libs "C interface to the Kestrel driver proxy"
  "libKestrelC.so.1 offers the driver API of libKestrel.so.1 to C and to\nlanguages with a C foreign-function interface, with no exception crossing it." runtime)
kestrel_package(dev libkestrel-dev libdevel "development files for the Kestrel driver proxy"
  "Headers of the driver API and the C interface, the libKestrel.so and\nlibKestrelC.so links, and pkg-config and CMake package files, for\napplications and for driver authors." runtime c)
kestrel_package(tools kestrel video "command-line tool and simulated camera for Kestrel"
  "The kestrel command (demo, probe, snapshot, stream, ptz, xml, events,\nbench) with its man pages and bash completion, the simulated camera driver\nand a driver that makes blocks of a chosen size for the benchmark." runtime c)
kestrel_package(python python3-kestrel python "Python package for the Kestrel driver proxy"
  "The Python package kestrel, over libKestrelC.so.1 through ctypes." c)
kestrel_package(gstreamer gstreamer1.0-kestrel video "GStreamer plugin for the Kestrel driver proxy"
  "The element kestrelsrc, a live source of video from a camera behind\nKestrel that survives a driver crash, and the recorder kestrel demo uses." c)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_PYTHON_DEBUGINFO_PACKAGE OFF)

include(CPack)
