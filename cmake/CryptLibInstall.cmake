# What `cmake --install` and the Debian package put where:
#   bin/cryptlib-host                         the host tool (run path $ORIGIN/../lib/<arch>)
#   lib/<arch>/CryptLib.so                    the engine (CryptLib.dll in bin/ on Windows)
#   lib/<arch>/cryptlib/mplug2.so             the reference module; `cryptlib-host init-root` copies it
#                                             into a root's EXE directory, where the engine binds it
#   include/cryptlib/cryptlib.h, mplug.h      the interface, for hosts and modules that compile against it
#   lib/<arch>/pkgconfig/cryptlib.pc          pkg-config
#   lib/<arch>/cmake/CryptLib/                find_package(CryptLib): CryptLib::headers, CryptLib::CryptLib
#   share/man/man1, share/bash-completion     the tool's manual page and completion
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CRYPTLIB_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/CryptLib)

install(TARGETS CryptLib EXPORT CryptLibTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/cryptlib.h include/mplug.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/cryptlib)
if(TARGET reference_mplug)
  install(TARGETS reference_mplug LIBRARY DESTINATION ${CRYPTLIB_MODULE_INSTALL_DIR})
endif()

# Hosts that compile against the header: an interface target for the header
# alone (hosts that load the library by name), and the library for those
# that link it.
add_library(cryptlib_headers INTERFACE)
target_include_directories(cryptlib_headers INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/cryptlib>)
set_target_properties(cryptlib_headers PROPERTIES EXPORT_NAME headers)
install(TARGETS cryptlib_headers EXPORT CryptLibTargets)
target_link_libraries(CryptLib INTERFACE cryptlib_headers)
install(EXPORT CryptLibTargets NAMESPACE CryptLib:: DESTINATION ${CRYPTLIB_CMAKE_INSTALL_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/CryptLibConfig.cmake.in
  ${CMAKE_BINARY_DIR}/CryptLibConfig.cmake INSTALL_DESTINATION ${CRYPTLIB_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/CryptLibConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/CryptLibConfig.cmake ${CMAKE_BINARY_DIR}/CryptLibConfigVersion.cmake
  DESTINATION ${CRYPTLIB_CMAKE_INSTALL_DIR})

# pkg-config: the paths relative to the file's own place, so that a package
# installed under any prefix describes itself.
file(RELATIVE_PATH CRYPTLIB_PC_PREFIX_FROM_PCDIR ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig
     ${CMAKE_INSTALL_PREFIX})
configure_file(${CMAKE_CURRENT_LIST_DIR}/cryptlib.pc.in ${CMAKE_BINARY_DIR}/cryptlib.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/cryptlib.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES README.md docs/host-tool.md docs/building.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package: `cpack -G DEB` in the build directory (scripts/ci-package.sh).
set(CPACK_PACKAGE_NAME cryptlib)
set(CPACK_PACKAGE_VENDOR "CryptLib")
set(CPACK_PACKAGE_CONTACT "CryptLib maintainers <cryptlib@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "crypto engine library for banking clients, its host tool and reference module")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The bank commands load the gost engine for GOST requests when it is there.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libengine-gost-openssl")
set(CPACK_STRIP_FILES ON)
include(CPack)
