# The Debian packages, built with `cpack -G DEB` (scripts/package does it all):
#  - desktopcontroller: the daemon, its task script, session start-up files
#    and man page, an example of the host preferences, and the maintainer
#    scripts that create the account "brvcanvas", hand it the desktop magic
#    and set the daemon's set-user-id bit (the agent's own directories are
#    left to the agent);
#  - desktopcontroller-tools: dc-doctor for administrators, on PATH beside
#    the daemon it checks; the reference IPC service and dc-sandbox, for
#    development, integration and tests only, in /usr/libexec/desktopcontroller.
# Library dependencies come from dpkg-shlibdeps. The package's paths follow
# the build's install prefix, so build it with -DCMAKE_INSTALL_PREFIX=/usr.

set(DC_DEB_NAME desktopcontroller)
set(DC_DEB_TOOLS_NAME desktopcontroller-tools)
set(DC_DEB_DIR ${CMAKE_CURRENT_SOURCE_DIR}/debian)
set(DC_DEB_BUILD_DIR ${CMAKE_CURRENT_BINARY_DIR}/debian)
set(DC_PACKAGE_MAINTAINER "DesktopController maintainers <maintainers@desktopcontroller.example>"
    CACHE STRING "Maintainer field of the Debian packages")

# The Debian revision is the changelog's: its newest entry names the version.
file(STRINGS ${DC_DEB_DIR}/changelog changelog_head LIMIT_COUNT 1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${DC_DEB_DIR}/changelog)
if(NOT changelog_head MATCHES "^${DC_DEB_NAME} \\(([^)-]+)-([^)]+)\\)")
  message(FATAL_ERROR "packaging/debian/changelog does not start with a '${DC_DEB_NAME} (version-revision)' entry")
endif()
set(DC_DEB_REVISION ${CMAKE_MATCH_2})
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(WARNING "packaging/debian/changelog is at ${CMAKE_MATCH_1}, the project at ${PROJECT_VERSION}: "
                  "add a changelog entry")
endif()

file(MAKE_DIRECTORY ${DC_DEB_BUILD_DIR})
dc_gzip(${DC_DEB_DIR}/changelog ${DC_DEB_BUILD_DIR}/changelog.Debian.gz)
dc_gzip(${DC_DEB_DIR}/NEWS ${DC_DEB_BUILD_DIR}/NEWS.Debian.gz)
set(DC_DAEMON_PATH ${CMAKE_INSTALL_FULL_BINDIR}/DesktopController)
foreach(script postinst postrm)
  configure_file(${DC_DEB_DIR}/${script}.in ${DC_DEB_BUILD_DIR}/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()
configure_file(${DC_DEB_DIR}/conffiles.in ${DC_DEB_BUILD_DIR}/conffiles @ONLY)

# dc_install_debian_docs(COMPONENT PACKAGE): every package carries its own
# copyright file and changelog.
function(dc_install_debian_docs component package)
  install(FILES ${DC_DEB_DIR}/copyright ${DC_DEB_BUILD_DIR}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endfunction()

dc_install_debian_docs(daemon ${DC_DEB_NAME})
# What an administrator reads before and after an upgrade (apt-listchanges
# shows the NEWS), and the host preferences to copy from.
install(FILES ${DC_DEB_BUILD_DIR}/NEWS.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${DC_DEB_NAME} COMPONENT daemon)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/config.example
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${DC_DEB_NAME}/examples RENAME config COMPONENT daemon)
install(FILES ${DC_DEB_DIR}/daemon.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME ${DC_DEB_NAME} COMPONENT daemon)
set(CPACK_COMPONENTS_ALL daemon)
if(TARGET ipc-service)
  dc_install_debian_docs(tools ${DC_DEB_TOOLS_NAME})
  install(FILES ${DC_DEB_DIR}/tools.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          RENAME ${DC_DEB_TOOLS_NAME} COMPONENT tools)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${DC_DEB_NAME})
set(CPACK_PACKAGE_VENDOR "DesktopController developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${DC_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${DC_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE ${DC_DEB_NAME})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${DC_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME ${DC_DEB_NAME})
# adduser for the account; the task script talks to the desktop through
# gdbus or dbus-send; the daemon unmounts ~/tsclient with fusermount and
# asks lsb_release for the distribution when /etc/os-release does not say.
# Xlib is loaded at start for the display check, so shlibdeps cannot see it.
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS "adduser, libx11-6")
set(CPACK_DEBIAN_DAEMON_PACKAGE_RECOMMENDS "libglib2.0-bin | dbus-bin")
set(CPACK_DEBIAN_DAEMON_PACKAGE_SUGGESTS "fuse3 | fuse, lsb-release")
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
    ${DC_DEB_BUILD_DIR}/postinst ${DC_DEB_BUILD_DIR}/postrm ${DC_DEB_BUILD_DIR}/conffiles)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION
    "remote desktop agent controller for graphical desktop sessions
DesktopController runs once inside each X11 or Wayland desktop session that
the remote desktop agent hosts. It proves itself to the agent's local IPC
service, starts and stops programs on the agent's request, locks, unlocks
and logs out the desktop, and reports every change of the screen lock.
.
The package installs the daemon set-user-id to the system account
brvcanvas, which owns the agent's desktop secret. A session supervisor,
started with every graphical session through a systemd user unit or an XDG
autostart entry, runs the daemon whenever the agent's service is up and
ends it with the session.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${DC_DEB_TOOLS_NAME})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "doctor, reference IPC service and private desktop for DesktopController
dc-doctor, run by a desktop user in a session, names every missing
precondition of a working DesktopController there and how to fix it.
A stand-alone implementation of the agent's local IPC service that
DesktopController connects to, with throwaway keys, and dc-sandbox, which
runs the controller on a private desktop (mount namespace, session bus,
Xvfb, the service) for developing, integrating and testing it without the
agent. These two are installed outside PATH, in /usr/libexec/desktopcontroller,
and are not needed on production desktops.")
# dc-sandbox starts these; the MATE screen saver only when asked to. The
# doctor checks a desktop the way the daemon of its own build does, and
# dc-sandbox runs the installed daemon by default.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS
    "${DC_DEB_NAME} (= ${PROJECT_VERSION}-${DC_DEB_REVISION}), xvfb, dbus-daemon")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "mate-screensaver")

include(CPack)
