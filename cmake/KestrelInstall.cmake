# Installs Kestrel for applications and driver authors, each part in the
# package component it ships in (cmake/KestrelPackage.cmake):
#   <libdir>/libKestrel.so.1                        the library applications load (runtime;
#                                                   libKestrel.so, the link, is dev's)
#   <libdir>/libKestrelC.so.1                       the C interface (kestrel_c.h), on libKestrel.so (c)
#   <python purelib>/kestrel/                       the Python package over libKestrelC.so
#   <includedir>/kestrel/*.h                        the public driver API
#   <libdir>/kestrel/drivers/libsimcam.so           the simulated camera
#   <libdir>/kestrel/drivers/hostproc/HostProc      the proxy server, beside the drivers
#   <libdir>/pkgconfig/kestrel.pc                   pkg-config --cflags --libs kestrel
#   <libdir>/cmake/Kestrel/KestrelConfig.cmake      find_package(Kestrel): Kestrel::Kestrel
#                                                   (the library) and Kestrel::headers (the API
#                                                   alone, what a driver builds against)
# Needs the targets Kestrel, HostProc and simcam: include it after they are
# defined (tools/CMakeLists.txt does; a second include does nothing).
if(NOT TARGET Kestrel OR NOT TARGET HostProc OR NOT TARGET simcam)
  message(STATUS "Kestrel install rules not added yet: Kestrel, HostProc or simcam is not defined")
  return()
endif()
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/KestrelPaths.cmake)
include(CMakePackageConfigHelpers)

install(TARGETS Kestrel EXPORT KestrelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS KestrelC EXPORT KestrelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT c NAMELINK_COMPONENT dev)
file(GLOB KESTREL_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/include/kestrel/*.h)
install(FILES ${KESTREL_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrel COMPONENT dev)
install(TARGETS simcam LIBRARY DESTINATION ${KESTREL_INSTALL_DRIVERSDIR} COMPONENT tools)
# The library starts HostProc from the driver's folder: it ships with it.
install(TARGETS HostProc RUNTIME DESTINATION ${KESTREL_INSTALL_DRIVERSDIR}/hostproc COMPONENT runtime)

# The Python package goes where the platform's Python looks under the prefix
# (Debian: lib/python3.X/dist-packages under /usr/local and other prefixes,
# lib/python3/dist-packages under /usr, which is known only when installing),
# told where libKestrelC.so.1 lies.
if(KESTREL_PYTHON AND NOT KESTREL_PYTHON_INSTALL_DIR)
  execute_process(COMMAND ${KESTREL_PYTHON} -c
                  "import sysconfig; print('lib/' + sysconfig.get_path('purelib').split('/lib/', 1)[1])"
                  OUTPUT_VARIABLE KESTREL_PYTHON_INSTALL_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(KESTREL_PYTHON_INSTALL_DIR)
  install(CODE "
    set(python_dir \"${KESTREL_PYTHON_INSTALL_DIR}\")
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(python_dir lib/python3/dist-packages)
    endif()
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/\${python_dir}\" TYPE DIRECTORY
         FILES \"${PROJECT_SOURCE_DIR}/python/kestrel\" PATTERN __pycache__ EXCLUDE)
    file(WRITE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${python_dir}/kestrel/_installed.py\"
         \"LIBRARY = '\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libKestrelC.so.1'\\n\")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${CMAKE_INSTALL_PREFIX}/\${python_dir}/kestrel/_installed.py\")"
    COMPONENT python)
endif()

install(EXPORT KestrelTargets NAMESPACE Kestrel:: DESTINATION ${KESTREL_INSTALL_CMAKEDIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KestrelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/KestrelConfig.cmake
  INSTALL_DESTINATION ${KESTREL_INSTALL_CMAKEDIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR KESTREL_INSTALL_DRIVERSDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/KestrelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/KestrelConfig.cmake ${CMAKE_BINARY_DIR}/cmake/KestrelConfigVersion.cmake
  DESTINATION ${KESTREL_INSTALL_CMAKEDIR} COMPONENT dev)

# pkg-config file with paths relative to its own location, so that an
# installation made with --prefix elsewhere stays usable.
file(RELATIVE_PATH KESTREL_PC_TO_PREFIX "/@prefix@/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/@prefix@")
string(REGEX REPLACE "/$" "" KESTREL_PC_TO_PREFIX "${KESTREL_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kestrel.pc.in ${CMAKE_BINARY_DIR}/cmake/kestrel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/cmake/kestrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
