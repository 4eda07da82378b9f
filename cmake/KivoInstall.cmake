# Installing like a desktop program: the wizard, the tool and the simulator in bin/, a menu
# entry with its icon, the tool's manual page; and a Debian package of the same through CPack.
include(GNUInstallDirs)

set(KIVO_INSTALL_ASSETS ${PROJECT_SOURCE_DIR}/cmake/install)

foreach(program kivo-updater kivo kivo-sim)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()

if(TARGET kivo-updater)
    install(FILES ${KIVO_INSTALL_ASSETS}/kivo-updater.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${KIVO_INSTALL_ASSETS}/kivo-updater.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
endif()

if(TARGET kivo)
    install(FILES ${PROJECT_SOURCE_DIR}/cli/kivo.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME kivo-updater)
set(CPACK_PACKAGE_VENDOR "Kivo Updater developers")
set(CPACK_PACKAGE_CONTACT "Kivo Updater developers <kivo-updater@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Updates Kivo test-pattern generators: stored patterns and firmware")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
include(CPack)
