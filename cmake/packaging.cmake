# What `cmake --install` puts where, and the packages cpack makes of it: on
# Linux a .deb (the program, its manual, the README, the copyright file and
# the udev rule for the FTDI chips), on Windows a zip (quillet.exe, linked
# statically, with the README and the licence).
if(WIN32)
    install(TARGETS quillet RUNTIME DESTINATION .)
    install(FILES README.md LICENSE DESTINATION .)
    set(CPACK_GENERATOR ZIP)
else()
    include(GNUInstallDirs)
    # The licence as the copyright file's License paragraph wants it: the
    # permission text, each line indented, a blank line written " .".
    file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
    string(FIND "${license}" "Permission is hereby" start)
    string(SUBSTRING "${license}" ${start} -1 license)
    string(STRIP "${license}" license)
    string(REPLACE "\n\n" "\n.\n" license "${license}")
    string(REPLACE "\n" "\n " QUILLET_LICENSE_TEXT " ${license}")
    configure_file(packaging/copyright.in copyright @ONLY)
    install(TARGETS quillet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES man/quillet.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES README.md ${CMAKE_CURRENT_BINARY_DIR}/copyright
            DESTINATION ${CMAKE_INSTALL_DOCDIR})
    install(FILES packaging/60-quillet.rules DESTINATION lib/udev/rules.d)
    set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VENDOR "the quillet developers")
set(CPACK_PACKAGE_CONTACT "the quillet developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "programmer for 1-KB ATtiny chips in circuit through a serial port")
set(CPACK_PACKAGE_DESCRIPTION
    "quillet programs Atmel's ATtiny10, 11, 12 and 15 through an adapter on a serial port's \
control lines, or an FTDI chip in bit-bang mode, and reads and verifies them.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
