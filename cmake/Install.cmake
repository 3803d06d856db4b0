# Installation as a desktop application, and the Debian package built from it.
#
#   <prefix>/lib/quorvane/          the program and the files it looks for beside itself
#   <prefix>/bin/quorvane           command on the path; runs the program in its folder
#   <prefix>/share/applications/    desktop entry
#   <prefix>/share/icons/hicolor/   application icon
#   <prefix>/share/metainfo/        AppStream metadata
#
# The program finds its cursor, skin and example image through the folder of
# its executable, so they are installed next to it rather than under share/.

set(QUORVANE_APP_ID app.quorvane.Quorvane)
set(QUORVANE_APP_DIR lib/quorvane)

install(TARGETS quorvane RUNTIME DESTINATION ${QUORVANE_APP_DIR})

# Beside-files are artwork that may not exist yet when a checkout is built;
# a missing one is skipped, never an install error.
foreach(f ${QUORVANE_BESIDE_FILES})
  get_filename_component(_subdir ${f} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/assets/${f} DESTINATION ${QUORVANE_APP_DIR}/${_subdir} OPTIONAL)
endforeach()

# A wrapper rather than a symlink: it needs no absolute path, so the same file
# works for /usr, /usr/local and a staging folder alike.
install(PROGRAMS ${CMAKE_SOURCE_DIR}/packaging/quorvane.sh DESTINATION bin RENAME quorvane)

install(FILES ${CMAKE_SOURCE_DIR}/packaging/quorvane.desktop
  DESTINATION share/applications RENAME ${QUORVANE_APP_ID}.desktop)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/${QUORVANE_APP_ID}.metainfo.xml DESTINATION share/metainfo)
foreach(size 32 48 128 256)
  install(FILES ${CMAKE_SOURCE_DIR}/assets/icons/quorvane-${size}.png
    DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME quorvane.png OPTIONAL)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/assets/icons/quorvane.svg
  DESTINATION share/icons/hicolor/scalable/apps OPTIONAL)

# --- Debian package (make deb, or cpack -G DEB in the build folder) ----------
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VENDOR Brantlow)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quorvane maintainers <quorvane@brantlow.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy SQL Server tables into a spreadsheet workbook")
set(CPACK_PACKAGE_DESCRIPTION
  "Quorvane is a small wizard that connects to a Microsoft SQL Server database\n\
through ODBC, lists its tables and copies the ones you tick into a new .xlsx\n\
workbook, one worksheet per table, which then opens in your spreadsheet\n\
application. Values keep their types: codes keep leading zeros, long numbers\n\
keep every digit, dates stay dates.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the program links (Qt, the ODBC driver manager, the workbook
# writer, GnuTLS, QtKeychain) are named by dpkg-shlibdeps, as the Debian
# release the package is built on calls them. Named here is what the program
# needs without linking it: Qt's platform plugins, odbcinst for the driver
# registration, FreeTDS as the driver behind "SQL Server", xdg-open for
# showing the workbook and the example image, the Arial-compatible face, and
# libsecret, which QtKeychain loads when it finds a Secret Service.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, odbcinst, tdsodbc, xdg-utils, fonts-liberation, libsecret-1-0")
# A spreadsheet application to open the workbooks in: the program is checked
# with LibreOffice Calc; Gnumeric opens .xlsx files as well.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-image-formats-plugins, libreoffice-calc | gnumeric")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
