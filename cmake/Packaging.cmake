# Installation and the Debian package (cpack -G DEB in the Release build: scripts/package-deb.sh).
# The folders that own the programs install them, with their man pages and, for the window, the
# menu entry and the icons; this file installs the package's own documents and says what the
# package is. Included before the folders, for kavlet_install_gzipped.
include(GNUInstallDirs)

# Directories made by the installation (and so in the package) are 755 whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# kavlet_install_gzipped(SOURCE DESTINATION [RENAME NAME]): installs SOURCE compressed as Debian
# wants it (gzip -9n: the smallest, without a name or a time stamp), as DESTINATION/NAME.gz
# (NAME: the source's own name by default).
function(kavlet_install_gzipped source destination)
    cmake_parse_arguments(G "" "RENAME" "" ${ARGN})
    get_filename_component(name "${source}" NAME)
    if(G_RENAME)
        set(name "${G_RENAME}")
    endif()
    get_filename_component(source "${source}" ABSOLUTE)
    string(MAKE_C_IDENTIFIER "gzip_${destination}_${name}" target)
    set(output "${CMAKE_CURRENT_BINARY_DIR}/gzipped/${destination}/${name}.gz")
    add_custom_command(OUTPUT "${output}"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/gzipped/${destination}"
        COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh "${source}" "${output}"
        DEPENDS "${source}" VERBATIM)
    add_custom_target(${target} ALL DEPENDS "${output}")
    install(FILES "${output}" DESTINATION "${destination}")
endfunction()

if(WIN32)
    return()
endif()

# The package's documents: the copyright and, gzipped, the changelog and the notices of the
# libraries compiled into the programs.
install(FILES cmake/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
kavlet_install_gzipped(cmake/debian/changelog ${CMAKE_INSTALL_DOCDIR})
kavlet_install_gzipped(res/third-party-notices.txt ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME kavlet)
set(CPACK_PACKAGE_VENDOR "The Kavlet developers")
set(CPACK_PACKAGE_CONTACT "The Kavlet developers <kavlet@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware loader for pan-tilt camera heads on a serial line")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
Kavlet loads new firmware into a pan-tilt camera head over a serial line
(Pelco-D or Pelco-P): it switches the head into its loader,
greets it and sends the image in frames, resending a frame the head rejects.

It has a window in Chinese (kavlet, in the menu as Kavlet) and a command-line
program for shells and scripts (kavlet-flash), which upgrades several heads on
one line one after another.

kavlet-head is a virtual camera head on a pseudo-terminal: with it, the tool
can be tried without a camera head.

Opening a serial port needs membership of the dialout group
(adduser USER dialout, then log in again).]])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs link are found by dpkg-shlibdeps; Qt loads the platform plugins
# (xcb) and its Chinese translation at run time, which it cannot see.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-translations-l10n")
set(CPACK_STRIP_FILES ON)
include(CPack)
