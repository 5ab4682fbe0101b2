# Installation into /usr and the Debian package (scripts/package runs cpack).
include(GNUInstallDirs)

set(K740_PACKAGE_NAME quorvane-k740-tq55-spi)
set(K740_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${K740_PACKAGE_NAME})

set(K740_INSTALLED_PROGRAMS Quorvane_for_K740_3T_TQ55_SPI k740-record k740-sim)
install(TARGETS ${K740_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Stripped as Debian's own packages are: symbols, and the compiler's notes too.
foreach(program ${K740_INSTALLED_PROGRAMS})
    install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
                      --remove-section=.comment --remove-section=.note
                      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
                      COMMAND_ERROR_IS_FATAL ANY)")
endforeach()

install(FILES packaging/${K740_PACKAGE_NAME}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 22 24 32 48 64 128 256)
    install(FILES resources/icons/hicolor/${size}x${size}/apps/${K740_PACKAGE_NAME}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES resources/icons/${K740_PACKAGE_NAME}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Debian keeps manual pages and the changelog compressed, without a time stamp
# in the gzip header so that the package builds the same each time.
find_program(K740_GZIP gzip REQUIRED)
configure_file(packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
set(K740_MAN_PAGES Quorvane_for_K740_3T_TQ55_SPI.1 k740-record.1 k740-sim.1)
set(K740_COMPRESSED ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    COMMAND ${K740_GZIP} -9n -c ${CMAKE_BINARY_DIR}/packaging/changelog > changelog.gz
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
foreach(page ${K740_MAN_PAGES})
    add_custom_command(
        OUTPUT ${CMAKE_BINARY_DIR}/packaging/${page}.gz
        COMMAND ${K740_GZIP} -9n -c ${CMAKE_SOURCE_DIR}/packaging/man/${page} > ${page}.gz
        DEPENDS ${CMAKE_SOURCE_DIR}/packaging/man/${page}
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
    list(APPEND K740_COMPRESSED ${CMAKE_BINARY_DIR}/packaging/${page}.gz)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
add_custom_target(k740_package_docs ALL DEPENDS ${K740_COMPRESSED})
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz packaging/copyright DESTINATION ${K740_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${K740_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quorvane")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "diagnostic tool for TQ55 SPI encoders on a K740-3T box")
# The extended description; CPack puts the summary above it as the synopsis
# and indents each line, an empty line becoming the paragraph mark.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Reads TQ55 linear encoders with an SPI output through a K740-3T interface
box on a USB serial port. It finds the box, sets it up, works out which
frame the encoder speaks and reads it at a set interval. It shows the raw
frame, the position in mm against a software zero, the status bits and the
frame check, plots the newest 250 positions, saves the chart as PNG and
records readings to a semicolon-separated file.

Also included: k740-record, which records the same files without a window,
for scripts and machines without a display; and k740-sim, a simulated box on
a pseudo-terminal for training and for trying the tool without hardware.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quorvane developers <support@quorvane.example>")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.quorvane.example")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from the binaries themselves; the fonts are the faces the
# window substitutes for its design fonts at run time, which no library pulls in.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation, fonts-liberation2")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
