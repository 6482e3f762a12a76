# What `cmake --install` puts where, and the Debian package that CPack builds from it
# (`cpack -G DEB` in the build folder, or `cmake --build build --target package`).
include(GNUInstallDirs)

set(BRISOLT_APP_ID io.github.brisolt.Brisolt)
set(BRISOLT_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
# The program tells the desktop which menu entry its windows belong to.
target_compile_definitions(brisolt PRIVATE BRISOLT_APP_ID="${BRISOLT_APP_ID}")

# The menu icon in the sizes desktops ask for: the hand-drawn window icons for 16 and 32
# pixels, the drawing rendered for the larger ones.
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
set(BRISOLT_ICON_SVG ${BRISOLT_PACKAGING_DIR}/${BRISOLT_APP_ID}.svg)
set(BRISOLT_ICON_DIR ${CMAKE_BINARY_DIR}/icons)
set(BRISOLT_ICON_FILES)
foreach(size 48 128 256)
  set(png ${BRISOLT_ICON_DIR}/${size}/${BRISOLT_APP_ID}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${BRISOLT_ICON_DIR}/${size}
    COMMAND ${RSVG_CONVERT} --width=${size} --height=${size} --output=${png} ${BRISOLT_ICON_SVG}
    DEPENDS ${BRISOLT_ICON_SVG}
    COMMENT "Rendering the ${size} px icon")
  list(APPEND BRISOLT_ICON_FILES ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
add_custom_target(brisolt_icons ALL DEPENDS ${BRISOLT_ICON_FILES})
foreach(size 16 32)
  install(FILES ${CMAKE_SOURCE_DIR}/src/res/brisolt${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
    RENAME ${BRISOLT_APP_ID}.png)
endforeach()
install(FILES ${BRISOLT_ICON_SVG} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

install(TARGETS brisolt RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${BRISOLT_PACKAGING_DIR}/${BRISOLT_APP_ID}.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${BRISOLT_PACKAGING_DIR}/${BRISOLT_APP_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${BRISOLT_PACKAGING_DIR}/brisolt.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The licence, where Debian's tools and users look for it.
install(FILES ${BRISOLT_PACKAGING_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brisolt)

# The Debian package: brisolt_<version>_<arch>.deb, installed under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brisolt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "The Brisolt developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from what the program is linked with; dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not linked but needed all the same: setcap for the post-install step, and a fixed-pitch
# font for the time stamp (without one, Qt draws no stamp at all).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, fonts-dejavu-core")
# Wayland sessions (GNOME and KDE on Debian 13) run the program natively with Qt's Wayland
# plugin; without it, Qt falls back to XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "time-lapse recorder for V4L2 cameras")
# The long description; CPack puts the summary line above it. No double quotes: CPack's
# escaping of the control file mangles them.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Brisolt grabs one frame every few seconds or minutes from a camera, or from its
built-in test pattern, into numbered AVI files (brslt000.avi, brslt001.avi, ...)
in the directory it was started in (brisolt -C DIR chooses another one). Every
frame carries the local date, time and time zone. A run rolls over to the next
file before a size limit; snapshots are saved as brslt000.bmp, ...
.
The two power boxes: 'use sleep' suspends the computer after each frame and
has the real-time clock wake it the standby time before the next one, when the
interval is at least three times the standby time; 'suspend end' hibernates
the computer at the end of a run and after a capture failure. Both are asked of
systemd-logind. Waking needs CAP_WAKE_ALARM, which this package grants to
/usr/bin/brisolt when it is installed; where the file system has no
capabilities, 'use sleep' does nothing and the computer stays awake.")
set(BRISOLT_INSTALLED_BINARY ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/brisolt)
configure_file(${BRISOLT_PACKAGING_DIR}/postinst.in ${CMAKE_BINARY_DIR}/debian/postinst
  @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
