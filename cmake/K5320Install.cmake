# What cmake --install puts where (GNUInstallDirs, under any prefix), and the Debian package built
# from it (cpack -G DEB):
#   lib/libK5320.so.2 (+ .so for linking), lib/libTarnSDK_CE.so.2   the C API and the backplane SDK
#   include/k5320.h, include/k5320_result.h                         the C API's headers, nothing else
#   bin/k5320, bin/k5320-probe, bin/K5320W_Utility                  the programs
#   libexec/k5320/k5320-backplaned                                  the service, where the SDK looks
#   lib/pkgconfig/k5320.pc, lib/cmake/K5320/                        for programs built against it
#   share/man/manN/                                                 every page of doc/man
# Installed files name no folder of the build tree: each program finds the libraries of its own
# prefix through a RUNPATH relative to itself ($ORIGIN), the SDK its service through a path
# relative to its own folder, pkg-config and CMake the prefix through their files' own places.
include(CMakePackageConfigHelpers)

set(K5320_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/K5320")
set(K5320_INSTALL_PKGCONFIGDIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

# RUNPATH: a program or library finds libK5320 and libTarnSDK_CE in the prefix's library folder.
function(k5320_install_runpath folder)
  k5320_install_relative(to_libraries "${folder}" "${CMAKE_INSTALL_LIBDIR}")
  if(to_libraries STREQUAL ".")
    set(runpath "$ORIGIN")
  else()
    set(runpath "$ORIGIN/${to_libraries}")
  endif()
  set_target_properties(${ARGN} PROPERTIES INSTALL_RPATH "${runpath}")
endfunction()
k5320_install_runpath("${CMAKE_INSTALL_LIBDIR}" K5320 TarnSDK_CE)
k5320_install_runpath("${CMAKE_INSTALL_BINDIR}" k5320 k5320-probe K5320W_Utility)
k5320_install_runpath("${K5320_INSTALL_SERVICEDIR}" k5320-backplaned)

install(TARGETS K5320 EXPORT K5320Targets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
# The SDK is a library libK5320 needs at run time, not one to build against: no .so link, no
# headers.
install(TARGETS TarnSDK_CE LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" NAMELINK_SKIP)
install(TARGETS k5320 k5320-probe K5320W_Utility RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(TARGETS k5320-backplaned RUNTIME DESTINATION "${K5320_INSTALL_SERVICEDIR}")

# The C API: k5320.h and what it includes. include/k5320/ holds C++ facts of driver and emulator.
install(FILES "${PROJECT_SOURCE_DIR}/include/k5320.h" "${PROJECT_SOURCE_DIR}/include/k5320_result.h"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")

# CMake: find_package(K5320 2.1 REQUIRED), target K5320::K5320; any 2.x from 2.1 on will do.
install(EXPORT K5320Targets NAMESPACE K5320:: DESTINATION "${K5320_INSTALL_CMAKEDIR}")
configure_package_config_file(cmake/K5320Config.cmake.in
  "${PROJECT_BINARY_DIR}/install/K5320Config.cmake"
  INSTALL_DESTINATION "${K5320_INSTALL_CMAKEDIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/install/K5320ConfigVersion.cmake"
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/install/K5320Config.cmake"
  "${PROJECT_BINARY_DIR}/install/K5320ConfigVersion.cmake"
  DESTINATION "${K5320_INSTALL_CMAKEDIR}")

# pkg-config: the prefix is found from where k5320.pc lies (${pcfiledir}).
k5320_install_relative(K5320_PC_TO_PREFIX "${K5320_INSTALL_PKGCONFIGDIR}" "")
foreach(folder LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${folder}}")
    set(K5320_PC_${folder} "${CMAKE_INSTALL_${folder}}")
  else()
    set(K5320_PC_${folder} "\${prefix}/${CMAKE_INSTALL_${folder}}")
  endif()
endforeach()
configure_file(cmake/k5320.pc.in "${PROJECT_BINARY_DIR}/install/k5320.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/install/k5320.pc" DESTINATION "${K5320_INSTALL_PKGCONFIGDIR}")

# Every manual page of doc/man (NAME.SECTION), each in its section's folder. A page added later
# is found at the next build (CONFIGURE_DEPENDS).
file(GLOB K5320_MAN_PAGES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/doc/man/*.[1-8]")
foreach(page IN LISTS K5320_MAN_PAGES)
  cmake_path(GET page EXTENSION LAST_ONLY section)
  string(SUBSTRING "${section}" 1 -1 section)
  install(FILES "${page}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}")
endforeach()

# The Debian package: cpack -G DEB in the build folder. It installs under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME k5320)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "K5320")
set(CPACK_PACKAGE_CONTACT "K5320 developers <k5320@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "K5320 CAN-bus interface module: driver library, tools and emulated backplane")
set(CPACK_PACKAGE_DESCRIPTION
  "The driver library libK5320 (a flat C API) with its headers, pkg-config and CMake files; the \
stand-in backplane SDK libTarnSDK_CE with emulated CAN modules and its per-user service \
k5320-backplaned; the k5320 and k5320-probe command-line tools and the K5320W_Utility program \
(Qt 6).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Dependencies from the libraries the programs and libraries link (Qt 6, libstdc++, libc).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Qt finds its platform plugins in a package of their own.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins")
include(CPack)
