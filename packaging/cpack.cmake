# Debian packages: `cmake --build <build folder> --target package` writes
# tallyloom-companion_<version>_<arch>.deb and tallyloom-relay_<version>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tallyloom-companion)
set(CPACK_PACKAGE_VENDOR "Tarnbrook")
set(CPACK_PACKAGE_CONTACT "Tarnbrook <companion@tarnbrook.com>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_HOMEPAGE_URL "https://tarnbrook.com/companion")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL companion)
if(TARGET vigilorb-relay)
  list(APPEND CPACK_COMPONENTS_ALL relay)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Runtime dependencies come from the shared libraries the binaries link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_COMPANION_PACKAGE_NAME tallyloom-companion)
set(CPACK_DEBIAN_COMPANION_PACKAGE_SECTION utils)
# Not libraries the binaries link, but what the desktop needs to show and keep the pairing key.
set(CPACK_DEBIAN_COMPANION_PACKAGE_RECOMMENDS "gnome-keyring | kwalletmanager, avahi-daemon")
set(CPACK_COMPONENT_COMPANION_DESCRIPTION "read-only monitor of local coding agents, shared with a phone
Tallyloom Companion watches the coding agents on this computer (Codex CLI,
Claude Code, Claude Desktop) and keeps a read-only picture of their quota
windows, tasks and pending approvals. It shows them in a status window and
shares them with a paired phone over the local network or through an
end-to-end encrypted relay. It never approves, executes or answers anything.

The package also contains vigilorb-peer, the phone-side reference client
used to check pairing, the local link and the relay from a terminal.")

set(CPACK_DEBIAN_RELAY_PACKAGE_NAME tallyloom-relay)
set(CPACK_DEBIAN_RELAY_PACKAGE_SECTION net)
set(CPACK_DEBIAN_RELAY_PACKAGE_SUGGESTS "redis-server")
set(CPACK_COMPONENT_RELAY_DESCRIPTION "relay server for Tallyloom Companion snapshots
vigilorb-relay keeps the newest sealed snapshot that a Tallyloom Companion
uploads for its paired phone. It holds only ciphertext and routing data and
cannot read what it stores. Snapshots are kept in SQLite or Redis.

The package installs a hardened systemd unit, vigilorb-relay.service, that
serves on the loopback interface behind a TLS reverse proxy. It is not
enabled on installation.")

include(CPack)
