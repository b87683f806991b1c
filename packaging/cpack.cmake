# The Debian packages, made by CPack's DEB generator from the build that the
# tests already ran (a second build of the whole tree through dpkg-buildpackage
# would double the test command's compile time on a small machine).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Norvane DNS Server developers")
set(CPACK_PACKAGE_CONTACT "Norvane DNS Server developers <maintainers@norvane.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Installs under DESTDIR with the real prefix, so that the install script
# sees /usr and puts the unit and the settings where the system has them.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL server gui)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${norvane_debian_release})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from dpkg-shlibdeps, never from a typed list.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(norvane_debian_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME norvane)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "small DNS server for a local domain with forwarding and a cache
Norvane is authoritative for one local domain held in memory (A, NS, CNAME,
MX and SOA records, PTR answers from the A records), forwards every other
name to up to four upstream servers and caches their answers. It serves and
fetches zone transfers, accepts dynamic updates (RFC 2136) and can restrict
clients to trusted address ranges.
.
This package holds the server ostrum with its systemd unit DNSserver.service,
the command-line client pallix and the documents. The settings are in
/etc/norvane/settings.ini, the zone file, cache dump and logs in
/var/lib/norvane.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/postinst ${CMAKE_CURRENT_SOURCE_DIR}/debian/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/postrm ${CMAKE_CURRENT_SOURCE_DIR}/debian/conffiles)

set(CPACK_DEBIAN_GUI_PACKAGE_NAME norvane-gui)
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION net)
# velisk shares the settings store and the data directory of the server
# package.
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "norvane (= ${norvane_debian_version})")
set(CPACK_COMPONENT_GUI_DESCRIPTION
    "desktop program of the Norvane DNS server
velisk runs the Norvane DNS engine in its own process with an operator
window: the local database and the cache as lists, dialogs for every
setting, statistics, a log viewer with printing, a notification-area icon
and translated user interfaces (German, French).")

include(CPack)
