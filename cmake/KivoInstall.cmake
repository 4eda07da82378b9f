# Installing like a desktop program: the wizard, the tool and the simulator in bin/, a menu
# entry with its icons, a manual page for each program, the licence and the changelog; and a
# Debian package of the same through CPack.
include(GNUInstallDirs)

set(KIVO_INSTALL_ASSETS ${PROJECT_SOURCE_DIR}/cmake/install)
set(KIVO_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/kivo-updater)
set(KIVO_ICON_SIZES 16 24 32 48 64 128 256)

# Manual pages and the changelog go out compressed, without a time stamp, so that the same
# sources give the same package.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(KIVO_GZIPPED)
function(kivo_gzip source name destination)
    set(out ${PROJECT_BINARY_DIR}/gz/${name}.gz)
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/gz
        COMMAND ${GZIP_PROGRAM} -9n -c ${source} > ${out}
        DEPENDS ${source} VERBATIM)
    set(KIVO_GZIPPED ${KIVO_GZIPPED} ${out} PARENT_SCOPE)
    install(FILES ${out} DESTINATION ${destination})
endfunction()

set(KIVO_PROGRAM_MANPAGES
    kivo ${PROJECT_SOURCE_DIR}/cli/kivo.1
    kivo-updater ${KIVO_INSTALL_ASSETS}/kivo-updater.1
    kivo-sim ${KIVO_INSTALL_ASSETS}/kivo-sim.1)
while(KIVO_PROGRAM_MANPAGES)
    list(POP_FRONT KIVO_PROGRAM_MANPAGES program page)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
        kivo_gzip(${page} ${program}.1 ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
endwhile()

if(TARGET kivo-updater)
    install(FILES ${KIVO_INSTALL_ASSETS}/kivo-updater.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    foreach(size IN LISTS KIVO_ICON_SIZES)
        install(FILES ${KIVO_INSTALL_ASSETS}/icons/kivo-updater-${size}.png
                DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
                RENAME kivo-updater.png)
    endforeach()
    install(FILES ${KIVO_INSTALL_ASSETS}/icons/kivo-updater.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

install(FILES ${KIVO_INSTALL_ASSETS}/copyright DESTINATION ${KIVO_DOC_DIR})
kivo_gzip(${KIVO_INSTALL_ASSETS}/changelog changelog ${KIVO_DOC_DIR})
add_custom_target(kivo_gzipped ALL DEPENDS ${KIVO_GZIPPED})

set(CPACK_PACKAGE_NAME kivo-updater)
set(CPACK_PACKAGE_VENDOR "Kivo Updater developers")
set(CPACK_PACKAGE_CONTACT "Kivo Updater developers <developers@kivo-updater.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "updater for Kivo test-pattern generators: stored patterns and firmware")
# The extended description, below the summary line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The Kivo is a digital video test-pattern generator attached through a
serial port. This package replaces its stored test patterns with pictures
(PNG, JPEG, BMP or raw 1920 x 1080 bitmaps) together with the previews
shown on its display, and installs new firmware from Intel HEX files
through the system bootloader of its microcontroller.
.
It holds three programs: kivo-updater, a step-by-step wizard; kivo, a
command-line tool that does the same jobs from scripts, also on several
ports at once, and reads and writes the generator's settings; and
kivo-sim, a simulated generator on a pseudo-terminal for trying both
without hardware.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
include(CPack)
