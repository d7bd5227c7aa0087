# What `cmake --install` puts where, and the packages cpack makes of it: on
# Linux a .deb that lintian --pedantic passes without an error or a warning
# (docs/packaging.md), on Windows a zip (quillet.exe, linked statically, with
# the README, the licence and a note on what the zip lacks).
if(WIN32)
    install(TARGETS quillet RUNTIME DESTINATION .)
    install(FILES README.md LICENSE packaging/README-Windows.txt DESTINATION .)
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

    # Debian wants manual pages and changelogs compressed with gzip -9n (no
    # name or time stamp, so the same sources give the same package).
    find_program(QUILLET_GZIP gzip REQUIRED)
    set(compressed)
    foreach(source man/quillet.1 man/quillet-try.1 packaging/changelog)
        get_filename_component(name ${source} NAME)
        set(output ${CMAKE_CURRENT_BINARY_DIR}/packaging/${name}.gz)
        add_custom_command(OUTPUT ${output}
                           COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${source}
                                   packaging/${name}
                           COMMAND ${QUILLET_GZIP} -9nf packaging/${name}
                           DEPENDS ${PROJECT_SOURCE_DIR}/${source}
                           WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
                           VERBATIM)
        list(APPEND compressed ${output})
    endforeach()
    add_custom_target(compressed_docs ALL DEPENDS ${compressed})

    # quillet-try finds the virtual chip and its image from where it lies.
    # The library is private to the package, in its architecture's directory
    # where CMake knows it (Debian's multiarch), and never on ld.so's path.
    if(CMAKE_LIBRARY_ARCHITECTURE)
        set(QUILLET_PRIVATE_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/quillet)
    else()
        set(QUILLET_PRIVATE_LIBDIR lib/quillet)
    endif()
    set(QUILLET_DATADIR ${CMAKE_INSTALL_DATADIR}/quillet)
    file(RELATIVE_PATH QUILLET_TRY_LIBRARY /${CMAKE_INSTALL_BINDIR}
         /${QUILLET_PRIVATE_LIBDIR}/libvtarget.so)
    file(RELATIVE_PATH QUILLET_TRY_IMAGE /${CMAKE_INSTALL_BINDIR} /${QUILLET_DATADIR}/blink.hex)
    configure_file(packaging/quillet-try.in quillet-try @ONLY)

    install(TARGETS quillet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/quillet-try DESTINATION ${CMAKE_INSTALL_BINDIR})
    if(TARGET vtarget_preload)
        install(TARGETS vtarget_preload LIBRARY DESTINATION ${QUILLET_PRIVATE_LIBDIR})
    endif()
    # What dh_strip would take out too: the compilers' version notes.
    if(CMAKE_OBJCOPY)
        install(CODE "
            foreach(elf bin/quillet ${QUILLET_PRIVATE_LIBDIR}/libvtarget.so)
                set(elf \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${elf}\")
                if(EXISTS \${elf})
                    execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment \${elf})
                endif()
            endforeach()")
    endif()
    install(FILES examples/blink.hex DESTINATION ${QUILLET_DATADIR})
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/quillet.1.gz
                  ${CMAKE_CURRENT_BINARY_DIR}/packaging/quillet-try.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES README.md ${CMAKE_CURRENT_BINARY_DIR}/copyright
                  ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DOCDIR})
    install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs FILES_MATCHING PATTERN "*.md" PATTERN "*.svg")
    # The udev rule is an example: it grants nothing until it is copied and
    # narrowed to one adapter (docs/packaging.md).
    install(FILES examples/blink.hex examples/blink.asm examples/walking-bit.eep
                  examples/avrdude-quillet.conf examples/avrdude-quillet-ftdi.conf
                  packaging/60-quillet.rules
            DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
    set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VENDOR "the quillet developers")
# A placeholder in a domain that never resolves (RFC 6761's .invalid): change
# it to a real address for a release (docs/packaging.md).
set(CPACK_PACKAGE_CONTACT "quillet developers <quillet-devel@quillet.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "programmer for 1-KB ATtiny chips in circuit through a serial port")
# The extended description, under the summary: CPack indents each line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "quillet programs Atmel's ATtiny10, 11, 12 and 15 through an adapter on a
serial port's control lines, or an FTDI chip in bit-bang mode, and reads
and verifies them.
.
quillet-try shows a whole programming run on a virtual ATtiny12, a library
that stands in for the chip, without any hardware.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
