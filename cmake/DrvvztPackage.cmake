# The Debian package, built by CPack from the install rules (scripts/package.sh).
# Configure with -DCMAKE_INSTALL_PREFIX=/usr: the scripts and units carry the
# configured prefix, so the package installs under the same one.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME drvvzt)
# All four parts: the fourth is the build the message server is told about.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_CONTACT "drvvzt developers <drvvzt@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "protocol driver between a radio receiving station and a message server")
set(CPACK_PACKAGE_DESCRIPTION
"drvvzt connects the radio receiving station of an alarm-monitoring suite to
the suite's message server. It acknowledges every 38-byte event packet the
station sends on its serial line, decodes it and forwards the event to the
message server over TCP. While the server cannot be reached, events are kept
in spool files and forwarded, oldest first, once the link is back.

The package holds the driver with its operator window, tools that play the
station and the message server and inspect spool files and packet logs, a
desktop entry, a systemd user unit for the operator's session and a system
template unit (drvvzt@.service) for headless station PCs.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The maintainer script falls back to adduser where systemd-sysusers is missing.
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/data/debian/postinst ${PROJECT_SOURCE_DIR}/data/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The build machine's umask must not leak into the package's directories.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/package)

include(CPack)
