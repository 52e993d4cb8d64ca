# The Linux release: one tree in two archives, the Debian package
# sysgrab_0.001-1_amd64.deb (under /usr) and sysgrab-0.001-linux-x86_64.tar.gz
# (under one folder):
#   bin/sysgrab
#   lib/<multiarch>/sysgrab/libwnaspi32.so
#   share/man/man1/sysgrab.1.gz
#   share/doc/sysgrab/copyright, changelog.Debian.gz
#   share/lintian/overrides/sysgrab
# The program's run path names the layer's folder relative to the program,
# so that both find it wherever they are, and nothing else: the layer is
# private to the program, not a library for the system's search path.
if(NOT CMAKE_LIBRARY_ARCHITECTURE)
  message(FATAL_ERROR "the release needs the compiler's multiarch folder name")
endif()
include(${PROJECT_SOURCE_DIR}/cmake/release.cmake)
set(layer_dir lib/${CMAKE_LIBRARY_ARCHITECTURE}/sysgrab)
set_target_properties(sysgrab PROPERTIES INSTALL_RPATH "$ORIGIN/../${layer_dir}")
install(TARGETS sysgrab RUNTIME DESTINATION bin)
# A library is loaded, not run: no execute bits.
install(TARGETS aspisg LIBRARY DESTINATION ${layer_dir}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The copyright file in Debian's machine-readable form, carrying LICENSE:
# its copyright line, then its conditions with each line indented and a
# blank line written as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${license}")
set(SYSGRAB_COPYRIGHT "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^.*Copyright[^\n]*\n\n" "" license "${license}")
string(STRIP "${license}" license)
string(REPLACE "\n\n" "\n.\n" license "${license}")
string(REPLACE "\n" "\n " SYSGRAB_LICENSE " ${license}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in copyright @ONLY)

# The manual page and the changelog compressed as Debian's tools do: at
# the highest level, without the file's name and time.
set(compressed)
foreach(doc sysgrab.1 changelog)
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/${doc}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND sh -c "gzip -9n <\"$0\" >\"$1\"" ${CMAKE_CURRENT_LIST_DIR}/${doc} ${gz}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/${doc} VERBATIM)
  list(APPEND compressed ${gz})
endforeach()
add_custom_target(release_docs ALL DEPENDS ${compressed})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/sysgrab.1.gz DESTINATION share/man/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright DESTINATION share/doc/sysgrab)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION share/doc/sysgrab
        RENAME changelog.Debian.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides DESTINATION share/lintian/overrides
        RENAME sysgrab)

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_NAME sysgrab)
set(CPACK_PACKAGE_VERSION 0.001)
set(CPACK_PACKAGE_FILE_NAME sysgrab-0.001-linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "sysgrab maintainers <maintainers@users.noreply.c-seed-ff19086b.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy the first 16 blocks of a CD-ROM into a file")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
sysgrab copies the lowest 16 logical blocks of the disc in the first CD-ROM
drive (blocks 0 to 15, 2048 bytes each: an ISO 9660 disc's system area)
into a file. It reaches the drive through an ASPI for Win32 layer of its
own over the kernel's SCSI generic driver, and runs as a user in the
cdrom group.")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
# The name Debian's tools give the package, spelt out for SHA256SUMS.
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE deb_arch
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
set(CPACK_DEBIAN_FILE_NAME
    ${CPACK_PACKAGE_NAME}_${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}_${deb_arch}.deb)
set(CPACK_SYSGRAB_RELEASE ${CPACK_DEBIAN_FILE_NAME} ${CPACK_PACKAGE_FILE_NAME}.tar.gz)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the binaries' own needs, through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
