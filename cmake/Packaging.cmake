# Debian packages of the release build (CPack, DEB generator), one per install
# component:
#
#   vesk-orlune-vst3  component vst3   the plug-in bundle in /usr/lib/vst3
#   orlune-relay      component relay  the relay, its web files, its systemd
#                                      unit and the unit's options file
#
# scripts/package builds both from build/release:
#   cpack --config build/release/CPackConfig.cmake -B build/release/packages
# Their dependencies are those of the shared libraries the binaries link
# (dpkg-shlibdeps), plus what the plug-in opens at run time.
#
# The release preset installs under /usr, as a package does; other prefixes
# give a tree for `cmake --install` (then the unit and its options file point
# into that prefix) but no Debian package.

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    return()
endif()

include(GNUInstallDirs)

set(VESK_ORLUNE_PACKAGE_MAINTAINER "Caddowin <packages@caddowin.invalid>"
    CACHE STRING "Maintainer field of the Debian packages")
set(VESK_ORLUNE_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages")

set(_components)
if(TARGET VeskOrlune_VST3)
    list(APPEND _components vst3)
endif()
if(TARGET orlune-relay)
    list(APPEND _components relay)
endif()
if(NOT _components)
    return()
endif()
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    message(STATUS "Vesk Orlune: install prefix ${CMAKE_INSTALL_PREFIX}; Debian packages need /usr (the release preset)")
endif()

set(_packaging "${PROJECT_SOURCE_DIR}/packaging")
set(_generated "${PROJECT_BINARY_DIR}/packaging")

# /usr/share/doc/<package>/copyright. The plug-in links JUCE statically, so
# its copyright file carries JUCE's, as Debian ships it with the modules.
function(_vesk_write_copyright package file_stanzas out_file)
    set(_text "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")
    string(APPEND _text "Upstream-Name: ${package}\n")
    string(APPEND _text "Comment: Built from the Vesk Orlune repository, version ${PROJECT_VERSION}.\n\n")
    string(APPEND _text "${file_stanzas}")
    file(WRITE "${out_file}" "${_text}")
endfunction()

set(_own_stanza "Files: *\nCopyright: Caddowin\nLicense: LicenseRef-Caddowin\n The licence of Vesk Orlune's own code is Caddowin's to state; the\n repository does not name one yet.\n")
set(_juce_copyright "${PROJECT_SOURCE_DIR}/third_party/juce/usr/share/doc/juce-modules-source/copyright")
set(_juce_stanzas "")
if(EXISTS "${_juce_copyright}")
    file(READ "${_juce_copyright}" _juce_text)
    # Drop its header paragraph; keep the Files: and License: paragraphs.
    string(FIND "${_juce_text}" "\n\nFiles:" _first_files)
    if(_first_files GREATER -1)
        math(EXPR _first_files "${_first_files} + 2")
        string(SUBSTRING "${_juce_text}" ${_first_files} -1 _juce_text)
    endif()
    set(_juce_stanzas "\nComment: The plug-in contains JUCE 8.0.6 (Debian's juce-modules-source\n 8.0.6+ds-2) and the VST3 SDK shipped with it; their terms, as Debian states\n them, follow. Paths are those of the JUCE source tree.\n\n${_juce_text}")
endif()

if(vst3 IN_LIST _components)
    _vesk_write_copyright(vesk-orlune-vst3 "${_own_stanza}${_juce_stanzas}" "${_generated}/vesk-orlune-vst3/copyright")
    install(FILES "${_generated}/vesk-orlune-vst3/copyright"
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vesk-orlune-vst3 COMPONENT vst3)
endif()
if(relay IN_LIST _components)
    _vesk_write_copyright(orlune-relay "${_own_stanza}" "${_generated}/orlune-relay/copyright")
    install(FILES "${_generated}/orlune-relay/copyright"
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/orlune-relay COMPONENT relay)
    # dpkg keeps an admin's changes to these across upgrades, and the files
    # themselves until the package is purged.
    file(WRITE "${_generated}/orlune-relay/conffiles" "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/orlune-relay\n")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${_components})
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_PACKAGE_NAME vesk-orlune)
set(CPACK_PACKAGE_VENDOR Caddowin)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${VESK_ORLUNE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)                 # <name>_<version>-<release>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_RELEASE "${VESK_ORLUNE_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VESK_ORLUNE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_VST3_PACKAGE_NAME vesk-orlune-vst3)
set(CPACK_DEBIAN_VST3_PACKAGE_SECTION sound)
set(CPACK_COMPONENT_VST3_DESCRIPTION "Vesk Orlune VST3 plug-in: hear a DAW live from a web link
Insert Vesk Orlune on a track or bus of a VST3 host: it passes the audio
through unchanged, meters it, and while streaming is switched on sends it to
a Vesk Orlune relay (package orlune-relay), whose listeners hear it in a
browser from the room's link.

The bundle is installed in /usr/lib/vst3, where Linux VST3 hosts look.")
# JUCE opens the X11 libraries at run time (dlopen) for the plug-in's window,
# so dpkg-shlibdeps cannot see them; the audio path works without them.
set(CPACK_DEBIAN_VST3_PACKAGE_RECOMMENDS "libx11-6, libxext6, libxrandr2, libxinerama1, libxcursor1, libxss1")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_RELAY_PACKAGE_NAME orlune-relay)
set(CPACK_DEBIAN_RELAY_PACKAGE_SECTION net)
set(CPACK_COMPONENT_RELAY_DESCRIPTION "Vesk Orlune relay: carries plug-in audio to web listeners
orlune-relay receives the UDP audio stream of Vesk Orlune plug-ins, keeps one
room per room code, and serves the browser player and a WebSocket per
listener at /orlune/<room>.

The package runs it as the systemd service orlune-relay.service, unprivileged
and confined, with its options in /etc/default/orlune-relay (by default on
127.0.0.1 only, for a reverse proxy in front of it).")
set(CPACK_DEBIAN_RELAY_PACKAGE_CONTROL_EXTRA
    "${_generated}/orlune-relay/conffiles"
    "${_packaging}/orlune-relay/postinst"
    "${_packaging}/orlune-relay/prerm"
    "${_packaging}/orlune-relay/postrm")

include(CPack)
