# Where an installed Kestrel keeps its parts, relative to the install prefix.
# The driver folder holds the shipped drivers with HostProc below it
# (<driver folder>/hostproc/HostProc), which is where libKestrel.so looks.
include_guard(GLOBAL)
include(GNUInstallDirs)
set(KESTREL_INSTALL_DRIVERSDIR "${CMAKE_INSTALL_LIBDIR}/kestrel/drivers"
    CACHE STRING "Installed driver folder, relative to the prefix (HostProc goes into its hostproc/ folder)")
set(KESTREL_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/Kestrel")
