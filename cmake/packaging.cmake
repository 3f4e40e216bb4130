# Release zips, made by tools/package.sh (CPack; or `cmake --build BUILD --target package`,
# which first builds everything, the tests too):
#   TeshReaderSetup-VERSION-win64.zip (win32 from the i686 build): a setup
#     folder: setup.exe and README.txt on the variant files and books.
#     No rapi.dll: a real setup folder uses the system's.
#   TeshReaderSetup-VERSION-simulator-kit-win64.zip (64-bit build only):
#     cedevice.exe, the stand-in rapi.dll, cecopy.exe, sample variant files
#     and books, HOWTO.txt, and install-rapi.cmd, which installs the stand-in
#     as the system's rapi.dll (setup.exe loads no other).
#   TeshReaderSetup-VERSION-linux.zip (64-bit build only): setup.exe, the
#     stand-in rapi.dll as the bridge to a handheld on the network,
#     rapidock.exe, which listens for the handheld from the wizard's start,
#     tesh-reader-setup.sh (and the -usb.sh part it reads), which runs
#     setup.exe under Wine with them, and README.txt on docking a handheld.
# The Linux kit is also a Debian package, tesh-reader-setup_VERSION_amd64.deb,
# made by tools/make-deb.sh from the same files.
set(TESH_VERSION 1.1)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TESH_PACKAGE_ARCH win64)
else()
  set(TESH_PACKAGE_ARCH win32)
endif()

# The texts, with Windows line ends for Notepad.
configure_file(${CMAKE_SOURCE_DIR}/packaging/setup-folder.txt ${CMAKE_BINARY_DIR}/packaging/README.txt
  @ONLY NEWLINE_STYLE CRLF)
configure_file(${CMAKE_SOURCE_DIR}/packaging/simulator-kit.txt ${CMAKE_BINARY_DIR}/packaging/HOWTO.txt
  @ONLY NEWLINE_STYLE CRLF)
configure_file(${CMAKE_SOURCE_DIR}/packaging/install-rapi.cmd ${CMAKE_BINARY_DIR}/packaging/install-rapi.cmd
  @ONLY NEWLINE_STYLE CRLF)
# The Linux zip's text is read on Linux: Unix line ends.
configure_file(${CMAKE_SOURCE_DIR}/packaging/linux/README.txt ${CMAKE_BINARY_DIR}/packaging/linux/README.txt
  @ONLY NEWLINE_STYLE UNIX)

# The Debian package's control fields (tools/make-deb.sh makes the package).
set(TESH_DEB_MAINTAINER "Corvex Press <tesh-reader-setup@corvexpress.com>"
  CACHE STRING "The Maintainer field of the Debian package")
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/control.in ${CMAKE_BINARY_DIR}/packaging/debian/control
  @ONLY NEWLINE_STYLE UNIX)

# Sample variant files and books, made by the generators in tools/ (also
# read by the tests of the books).
set(TESH_SAMPLES_DIR ${CMAKE_BINARY_DIR}/samples)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/samples.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TESH_SAMPLES_DIR}
  COMMAND ${CMAKE_SOURCE_DIR}/tools/make-variants.sh ${TESH_SAMPLES_DIR}
  COMMAND ${CMAKE_SOURCE_DIR}/tools/make-books.sh ${TESH_SAMPLES_DIR}
  COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/samples.stamp
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/make-variants.sh ${CMAKE_SOURCE_DIR}/tools/make-books.sh
  COMMENT "Generating sample variant files and books"
  VERBATIM)
add_custom_target(samples ALL DEPENDS ${CMAKE_BINARY_DIR}/samples.stamp)

install(TARGETS setup RUNTIME DESTINATION . COMPONENT setupfolder)
install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt DESTINATION . COMPONENT setupfolder)
set(CPACK_COMPONENTS_ALL setupfolder)
if(TESH_PACKAGE_ARCH STREQUAL "win64")
  install(TARGETS cedevice cecopy rapi RUNTIME DESTINATION . COMPONENT simulatorkit)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/HOWTO.txt ${CMAKE_BINARY_DIR}/packaging/install-rapi.cmd
    DESTINATION . COMPONENT simulatorkit)
  install(DIRECTORY ${TESH_SAMPLES_DIR}/ DESTINATION . COMPONENT simulatorkit)
  list(APPEND CPACK_COMPONENTS_ALL simulatorkit)
  install(TARGETS setup rapi rapidock RUNTIME DESTINATION . COMPONENT linux)
  install(PROGRAMS ${CMAKE_SOURCE_DIR}/packaging/linux/tesh-reader-setup.sh
    ${CMAKE_SOURCE_DIR}/packaging/linux/tesh-reader-setup-usb.sh
    ${CMAKE_SOURCE_DIR}/packaging/linux/tesh-reader-setup-link.sh DESTINATION . COMPONENT linux)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/linux/README.txt DESTINATION . COMPONENT linux)
  list(APPEND CPACK_COMPONENTS_ALL linux)
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME TeshReaderSetup)
set(CPACK_PACKAGE_VENDOR "Corvex Press")
set(CPACK_PACKAGE_VERSION ${TESH_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_SETUPFOLDER_FILE_NAME TeshReaderSetup-${TESH_VERSION}-${TESH_PACKAGE_ARCH})
set(CPACK_ARCHIVE_SIMULATORKIT_FILE_NAME TeshReaderSetup-${TESH_VERSION}-simulator-kit-${TESH_PACKAGE_ARCH})
set(CPACK_ARCHIVE_LINUX_FILE_NAME TeshReaderSetup-${TESH_VERSION}-linux)
include(CPack)
