# Installs the program as a desktop application and packs it as a Debian package:
#   cmake --build build --target package   ->   build/vettrix_<version>_<arch>.deb
# (with umask 022, as Debian's folders are 0755)
# Included from the top-level CMakeLists.txt, after the vettrix target.

set(VETTRIX_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(VETTRIX_APP_ID net.vettrix.Vettrix)
set(VETTRIX_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/vettrix)
# Folders as Debian wants them. The umask still narrows the folders that get made, so the package
# is built with umask 022 (tools/check-package sets it).
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The Debian version comes from the version the program shows ("2.1.3-r26" -> "2.1.3+r26": a
# "-" would start a Debian revision), and must head the changelog.
file(STRINGS ${CMAKE_SOURCE_DIR}/src/app/Branding.h version_line
     REGEX "kProgramVersionText = \"")
string(REGEX MATCH "\"([^ \"]+)" version_match "${version_line}")
set(program_version "${CMAKE_MATCH_1}")
string(FIND "${program_version}" "${PROJECT_VERSION}" project_at)
if(NOT project_at EQUAL 0)
  message(FATAL_ERROR "The program's version \"${program_version}\" does not start with the "
                      "project's version ${PROJECT_VERSION}")
endif()
string(REPLACE "-" "+" VETTRIX_DEBIAN_VERSION "${program_version}")
foreach(changelog changelog cli/changelog service/changelog)
  file(STRINGS ${VETTRIX_PACKAGING_DIR}/${changelog} changelog_head LIMIT_COUNT 1)
  string(REGEX MATCH "^vettrix[-a-z]* \\(([^)]*)\\)" changelog_match "${changelog_head}")
  if(NOT CMAKE_MATCH_1 STREQUAL VETTRIX_DEBIAN_VERSION)
    message(FATAL_ERROR
            "packaging/${changelog} must start with an entry for ${VETTRIX_DEBIAN_VERSION}")
  endif()
endforeach()

# The icon is drawn once as SVG; the sizes the desktop asks for are rendered from it.
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
set(icon_svg ${VETTRIX_PACKAGING_DIR}/${VETTRIX_APP_ID}.svg)
set(icon_pngs)
foreach(size 16 32 48 64 128 256)
  set(png ${CMAKE_BINARY_DIR}/icons/${size}x${size}/${VETTRIX_APP_ID}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
    COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${icon_svg}
    DEPENDS ${icon_svg} VERBATIM)
  list(APPEND icon_pngs ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          COMPONENT vettrix)
endforeach()

# The window's own icon, built into the program.
qt_add_resources(vettrix vettrix_icons PREFIX /icons BASE ${CMAKE_BINARY_DIR}/icons
                 FILES ${icon_pngs})

vettrix_gzip(vettrix_man ${VETTRIX_PACKAGING_DIR}/vettrix.1 ${CMAKE_BINARY_DIR}/packaging/vettrix.1.gz)
vettrix_gzip(vettrix_changelog ${VETTRIX_PACKAGING_DIR}/changelog
             ${CMAKE_BINARY_DIR}/packaging/changelog.gz)

# Three packages from one build: vettrix-cli with the shipped database (Qt Core and Network, no
# widgets, for a server), the window, which depends on it, and the web service. Every file
# installed names its package (COMPONENT); tools/check-package fails on one that names none.
set(cli_changelog ${CMAKE_BINARY_DIR}/packaging/cli/changelog.gz)
vettrix_gzip(vettrix_cli_changelog ${VETTRIX_PACKAGING_DIR}/cli/changelog ${cli_changelog})
install(FILES ${CMAKE_SOURCE_DIR}/data/mobidex.csv DESTINATION ${CMAKE_INSTALL_DATADIR}/vettrix
        COMPONENT cli)
install(FILES ${VETTRIX_PACKAGING_DIR}/copyright ${cli_changelog}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vettrix-cli COMPONENT cli)
install(TARGETS vettrix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vettrix)
install(FILES ${VETTRIX_PACKAGING_DIR}/${VETTRIX_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT vettrix)
install(FILES ${VETTRIX_PACKAGING_DIR}/${VETTRIX_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT vettrix)
install(FILES ${icon_svg} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        COMPONENT vettrix)
install(FILES ${CMAKE_BINARY_DIR}/packaging/vettrix.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT vettrix)
install(FILES ${VETTRIX_PACKAGING_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${VETTRIX_DOCDIR} COMPONENT vettrix)

# The service: its program and manual, a systemd unit, its settings, and the database it
# publishes first, so that installing it and starting the unit serves with no further step.
set(service_dir ${VETTRIX_PACKAGING_DIR}/service)
set(service_changelog ${CMAKE_BINARY_DIR}/packaging/service/changelog.gz)
vettrix_gzip(vettrix_service_changelog ${service_dir}/changelog ${service_changelog})
install(TARGETS vettrix-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
install(FILES ${CMAKE_BINARY_DIR}/src/service/vettrix-service.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT service)
install(FILES ${service_dir}/vettrix-service.service DESTINATION /lib/systemd/system
        COMPONENT service)
install(FILES ${service_dir}/service.conf DESTINATION /etc/vettrix COMPONENT service)
install(FILES ${CMAKE_SOURCE_DIR}/data/mobidex.csv
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vettrix-service COMPONENT service)
# The API's OpenAPI document, as the service serves it at /api/v1/openapi.json.
install(FILES ${CMAKE_SOURCE_DIR}/src/service/openapi.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vettrix-service COMPONENT service)
install(FILES ${VETTRIX_PACKAGING_DIR}/copyright ${service_changelog}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vettrix-service COMPONENT service)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli vettrix service)
set(CPACK_PACKAGE_NAME vettrix)
set(CPACK_PACKAGE_VERSION ${VETTRIX_DEBIAN_VERSION})
set(CPACK_PACKAGE_VENDOR "Vettrix Labs")
set(CPACK_PACKAGE_CONTACT "Vettrix Labs <support@vettrix.net>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${VETTRIX_DEBIAN_VERSION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://vettrix.net/")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vettrix Labs <support@vettrix.net>")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The libraries the programs link are found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_VETTRIX_PACKAGE_NAME vettrix)
set(CPACK_DEBIAN_VETTRIX_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_VETTRIX_DESCRIPTION "validate IMEI numbers and generate valid ones
Vettrix is a desktop tool for IMEI numbers. It checks an IMEI's check digit
(Luhn), its fields, the reporting body of its type allocation code (TAC) and
the device that the TAC belongs to in a local device database derived from
the Osmocom TAC database. It also generates valid IMEIs for a chosen device
type into a dated report, and checks a web service for newer versions.")
# The plugins Qt loads at run time (xcb platform, image formats, TLS) come with libqt6gui6 and
# libqt6network6, which the scan already names; a Wayland session and the Arial-compatible
# fonts the layout is measured in are recommended.
set(CPACK_DEBIAN_VETTRIX_PACKAGE_RECOMMENDS "qt6-wayland, fonts-liberation")
# vettrix-cli holds the shipped database the window reads, and is built from the same core.
set(CPACK_DEBIAN_VETTRIX_PACKAGE_DEPENDS "vettrix-cli (= ${VETTRIX_DEBIAN_VERSION})")

set(CPACK_DEBIAN_CLI_PACKAGE_NAME vettrix-cli)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_CLI_DESCRIPTION "check and generate IMEI numbers, build IMEI device databases
vettrix-cli checks, generates, looks up and completes IMEI numbers from files
and pipes by the rules of the Vettrix window, with the device database it
ships (derived from the Osmocom TAC database). It builds the next device
database from Osmocom's export, the GSMA's TAC file, published databases and
the suggestions a Vettrix web service accepted, and installs the newer
database a service publishes. It needs no graphical session.")

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME vettrix-service)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVICE_DESCRIPTION "web service of the Vettrix IMEI device database
vettrix-service publishes the Vettrix device database and its version for
the Vettrix window's update checks, looks up any IMEI or TAC by the window's
own rules on web pages and through a JSON API, and takes suggestions of
devices the database lacks for an operator to review. It runs as a hardened
systemd service on the loopback, for a proxy such as nginx to put in front.")
# deb-systemd-helper and deb-systemd-invoke, for the maintainer scripts.
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
# The operator builds the next database with vettrix-cli convert.
set(CPACK_DEBIAN_SERVICE_PACKAGE_RECOMMENDS "vettrix-cli")
set(CPACK_DEBIAN_SERVICE_PACKAGE_SUGGESTS "nginx")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    "${service_dir}/conffiles;${service_dir}/postinst;${service_dir}/prerm;${service_dir}/postrm")
include(CPack)
