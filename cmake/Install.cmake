# Installed layout under a prefix (~/.local for tools/install.sh, /usr for the package):
#   lib/corvane/corvane.app      the bundle, kept whole so that an update can swap it
#   bin/corvane                  launcher that execs the bundle's executable
#   share/applications/corvane.desktop, share/applications/corvane-kwin-screenshots.desktop,
#   share/icons/hicolor/*/apps/corvane.*,
#   share/metainfo/org.example.corvane.metainfo.xml
set(CORVANE_INSTALL_BUNDLE lib/corvane/corvane.app)

install(TARGETS corvane RUNTIME DESTINATION ${CORVANE_INSTALL_BUNDLE}/Contents/MacOS)
install(FILES ${CORVANE_BUNDLE_DIR}/Contents/Info.plist
        DESTINATION ${CORVANE_INSTALL_BUNDLE}/Contents)
install(DIRECTORY ${CORVANE_BUNDLE_DIR}/Contents/Resources
        DESTINATION ${CORVANE_INSTALL_BUNDLE}/Contents)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/resources/launcher.sh DESTINATION bin RENAME corvane)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/resources/hicolor DESTINATION share/icons)
install(FILES ${PROJECT_SOURCE_DIR}/resources/org.example.corvane.metainfo.xml
        DESTINATION share/metainfo)

# The menu entry and its actions name the launcher by its full path: ~/.local/bin is often not
# on the desktop session's PATH. The prefix is known only when installing.
set(desktop_entry ${CMAKE_BINARY_DIR}/install/corvane.desktop)
install(CODE "
    include([[${PROJECT_SOURCE_DIR}/cmake/DesktopEntry.cmake]])
    corvane_write_desktop_entry([[${PROJECT_SOURCE_DIR}/resources/corvane.desktop]]
        [[${desktop_entry}]] \"\${CMAKE_INSTALL_PREFIX}/bin/corvane\")")
install(FILES ${desktop_entry} DESTINATION share/applications)

# The entry that admits the bundle's executable to KWin's screenshots names it by its own path:
# KWin matches the caller's executable, and the launcher is a script.
set(kwin_entry ${CMAKE_BINARY_DIR}/install/corvane-kwin-screenshots.desktop)
install(CODE "
    include([[${PROJECT_SOURCE_DIR}/cmake/DesktopEntry.cmake]])
    corvane_write_desktop_entry(
        [[${PROJECT_SOURCE_DIR}/resources/corvane-kwin-screenshots.desktop]] [[${kwin_entry}]]
        \"\${CMAKE_INSTALL_PREFIX}/${CORVANE_INSTALL_BUNDLE}/Contents/MacOS/corvane\")")
install(FILES ${kwin_entry} DESTINATION share/applications)

# Only the package ships this marker: a bundle that carries it belongs to the package
# manager, and the application leaves its updates to it.
set(package_marker ${CMAKE_BINARY_DIR}/install/package-managed)
file(WRITE ${package_marker} "corvane was installed by its Debian package; update it with the package manager.\n")
install(FILES ${package_marker} DESTINATION ${CORVANE_INSTALL_BUNDLE}/Contents/Resources
        COMPONENT package-marker EXCLUDE_FROM_ALL)

# Packaging builds the application target itself; installing must not build every test.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(CORVANE_VERSION STREQUAL "__VERSION__")
    set(CPACK_PACKAGE_VERSION 0.0.0) # what the application reports without a version
else()
    set(CPACK_PACKAGE_VERSION ${CORVANE_VERSION})
endif()
set(CORVANE_PACKAGE_MAINTAINER "corvane maintainers <corvane@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_CONTACT ${CORVANE_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tray screen capture with markup, copy, save and upload")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "corvane lives in the system tray. A hotkey or a click on its icon freezes every\n"
    "display; a selection can be marked up, then copied, saved as an image file or\n"
    "uploaded to the configured server.")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded by Qt at run time, so not found from the binary's links: TIFF on the clipboard, and
# the Wayland platform, without which a Wayland desktop runs the application on XWayland,
# where it sees neither native windows' keys nor, through the X11 root, their pixels.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-image-formats-plugins, qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-noto-cjk)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};corvane;ALL;/" "${CMAKE_BINARY_DIR};corvane;package-marker;/")
include(CPack)
