# What `cmake --install` puts where, and the Debian package CPack makes of it
# (`cpack -G DEB` in a build folder). Everything lands under the usual
# folders of the prefix: programs in bin/, the desktop entry, AppStream
# metadata and the hicolor icons in share/.
include(GNUInstallDirs)

set(tidewell_programs tidewell-cli twpack)
if(ENABLE_GUI)
  list(PREPEND tidewell_programs tidewell)
endif()
# The rendezvous server joins the package as soon as the tree builds it.
if(TARGET tidewell-rendezvous)
  list(APPEND tidewell_programs tidewell-rendezvous)
endif()
install(TARGETS ${tidewell_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(tidewell_app_id org.tidewell.Tidewell)
if(ENABLE_GUI)
  install(FILES ${PROJECT_SOURCE_DIR}/ui/desktop/${tidewell_app_id}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  configure_file(${PROJECT_SOURCE_DIR}/ui/desktop/${tidewell_app_id}.metainfo.xml.in
    ${PROJECT_BINARY_DIR}/${tidewell_app_id}.metainfo.xml @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${tidewell_app_id}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  file(GLOB tidewell_icon_sizes RELATIVE ${PROJECT_SOURCE_DIR}/ui/res/icons
    ${PROJECT_SOURCE_DIR}/ui/res/icons/*)
  foreach(size ${tidewell_icon_sizes})
    install(FILES ${PROJECT_SOURCE_DIR}/ui/res/icons/${size}/tidewell.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}/apps)
  endforeach()
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME tidewell)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_CONTACT "Tidewell developers <tidewell@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Game package downloader with its own P2SP engine")
set(CPACK_PACKAGE_DESCRIPTION
  "Fetches one game's installation package from HTTP and FTP servers and BitTorrent peers at once, verifies every piece as it arrives, resumes after a restart, checks the finished files against their MD5 digests and starts the installer. Includes the window, the headless front end tidewell-cli and the packaging tool twpack.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies come from the shared libraries the programs link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
