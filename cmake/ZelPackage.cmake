# Install rules and the Debian package (CPack): scripts/package.sh builds
# zelserver_<version>_<arch>.deb from a Release build configured with the prefix /usr.
#
# The program goes to <prefix>/sbin; the configuration, the unit and the logrotate snippet are
# configured here with the install paths, so that what the package ships names the package's
# own places. The networks file and the list files are templates under <prefix>/share/zelserver:
# the postinst copies them into the state directory only when missing, so an upgrade never
# replaces what an operator or the server wrote.
include(GNUInstallDirs)

set(ZEL_STATE_DIR "/var/lib/zelserver" CACHE PATH "The server's state: networks file and data directory")
set(ZEL_LOG_DIR "/var/log/zelserver" CACHE PATH "Directory of the server's log file")
set(ZEL_RUN_DIR "/run/zelserver" CACHE PATH "Directory of the daemon's PID file")
set(ZEL_PACKAGE_MAINTAINER "ZELServer maintainers <zelserver@example.org>" CACHE STRING
    "Maintainer field of the Debian package")
set(ZEL_CONFIG_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/zelserver")
set(ZEL_LOGROTATE_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d")
# The init script of hosts without systemd (Debian's init.d; under systemd it hands over to the unit).
set(ZEL_INIT_SCRIPT "${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d/zelserver")
set(ZEL_DATA_DIR "${ZEL_STATE_DIR}/data")
set(ZEL_SBIN_DIR "${CMAKE_INSTALL_FULL_SBINDIR}")
set(ZEL_DOC_DIR "${CMAKE_INSTALL_FULL_DATAROOTDIR}/doc/zelserver")
set(ZEL_TEMPLATE_DIR "${CMAKE_INSTALL_FULL_DATADIR}/zelserver")
# The package's program reads its installed configuration when the command line names none, so
# that no control word needs the name spelled out; otherwise it is "server.ini" beside the program.
option(ZEL_INSTALLED_CONFIG "The program's default configuration is the installed server.ini" OFF)
if(ZEL_INSTALLED_CONFIG)
  set(ZEL_DEFAULT_CONFIG_FILE "${ZEL_CONFIG_DIR}/server.ini")
  target_compile_definitions(ZELServer-console PRIVATE ZEL_DEFAULT_CONFIG_FILE="${ZEL_DEFAULT_CONFIG_FILE}")
else()
  set(ZEL_DEFAULT_CONFIG_FILE "server.ini")
endif()
set(_pkg_out "${PROJECT_BINARY_DIR}/packaging")

# The program's revision (ZELRevision, kept in the source) names the program in the manual page;
# the Debian version adds the commit count, so that every build of a later commit sorts higher.
include(${CMAKE_CURRENT_LIST_DIR}/ZelVersion.cmake)
file(READ "${PROJECT_SOURCE_DIR}/service/dmq_zel_svc_globals.hpp" _globals)
zel_revision(ZEL_REVISION "${_globals}")
zel_package_version(ZEL_PACKAGE_VERSION "${PROJECT_SOURCE_DIR}" HEAD)
# A new commit configures anew (scripts/package.sh configures at every build anyway).
find_package(Git QUIET)
if(GIT_EXECUTABLE)
  foreach(_ref HEAD logs/HEAD)
    execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --git-path "${_ref}" WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                    RESULT_VARIABLE _rc OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(_rc EQUAL 0)
      get_filename_component(_path "${_path}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
      if(EXISTS "${_path}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_path}")
      endif()
    endif()
  endforeach()
endif()

# The package's server.ini: the shipped one with the four paths of [System] made absolute.
file(READ "${PROJECT_SOURCE_DIR}/dist/server.ini" _ini)
set(_paths "NetworksFileName=${ZEL_STATE_DIR}/networks.cfg\nDataDir=${ZEL_DATA_DIR}\n"
           "LogFile=${ZEL_LOG_DIR}/zelserver.log\nPidFile=${ZEL_RUN_DIR}/zelserver.pid")
string(CONCAT _paths ${_paths})
string(REGEX REPLACE "NetworksFileName=[^\n]*\nDataDir=[^\n]*\nLogFile=[^\n]*\n(;[^\n]*\n)?PidFile=[^\n]*"
       "${_paths}" _pkg_ini "${_ini}")
if(_pkg_ini STREQUAL _ini)
  message(FATAL_ERROR "dist/server.ini: the [System] paths were not found for the package's copy")
endif()
string(REPLACE "Relative names are taken against the program's directory (the data\n; files against DataDir)."
       "The paths are absolute: relative names would be taken against the\n; program's directory (the data files against DataDir)."
       _pkg_ini "${_pkg_ini}")
file(WRITE "${_pkg_out}/server.ini" "${_pkg_ini}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${PROJECT_SOURCE_DIR}/dist/server.ini" "${PROJECT_SOURCE_DIR}/service/dmq_zel_svc_globals.hpp")

configure_file(packaging/zelserver.service.in "${_pkg_out}/zelserver.service" @ONLY)
configure_file(packaging/zelserver.logrotate.in "${_pkg_out}/zelserver.logrotate" @ONLY)
configure_file(packaging/zelserver.init.in "${_pkg_out}/zelserver.init" @ONLY)
configure_file(packaging/zelserver.tmpfiles.in "${_pkg_out}/zelserver.tmpfiles" @ONLY)
configure_file(packaging/ZELServer-console.8.in "${_pkg_out}/ZELServer-console.8" @ONLY)
# The maintainer scripts stand alone: the routines two of them share are written once and put
# into each.
file(READ packaging/debian/daemon-functions.sh ZEL_DAEMON_FUNCTIONS)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${PROJECT_SOURCE_DIR}/packaging/debian/daemon-functions.sh")
foreach(_s postinst prerm postrm conffiles)
  configure_file(packaging/debian/${_s}.in "${_pkg_out}/debian/${_s}" @ONLY)
endforeach()

# The Debian changelog of this version (native package: changelog.gz), compressed without a
# time stamp.
string(TIMESTAMP _date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${_pkg_out}/changelog"
     "zelserver (${ZEL_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
     "  * Revision ${ZEL_REVISION} of ZELServer.\n\n"
     " -- ${ZEL_PACKAGE_MAINTAINER}  ${_date}\n")
find_program(ZEL_GZIP gzip)
if(ZEL_GZIP)
  foreach(_f changelog ZELServer-console.8)
    execute_process(COMMAND ${ZEL_GZIP} -n -9 -f -k "${_pkg_out}/${_f}" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endif()

set(_rw OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(TARGETS ZELServer-console RUNTIME DESTINATION "${CMAKE_INSTALL_SBINDIR}")
install(FILES "${_pkg_out}/server.ini" DESTINATION "${ZEL_CONFIG_DIR}"
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES "${_pkg_out}/zelserver.logrotate" DESTINATION "${ZEL_LOGROTATE_DIR}"
        RENAME zelserver PERMISSIONS ${_rw})
get_filename_component(_init_dir "${ZEL_INIT_SCRIPT}" DIRECTORY)
install(FILES "${_pkg_out}/zelserver.init" DESTINATION "${_init_dir}" RENAME zelserver
        PERMISSIONS ${_rw} OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)
install(FILES "${_pkg_out}/zelserver.service" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system"
        PERMISSIONS ${_rw})
install(FILES "${_pkg_out}/zelserver.tmpfiles" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/tmpfiles.d"
        RENAME zelserver.conf PERMISSIONS ${_rw})
install(FILES dist/networks.cfg DESTINATION "${ZEL_TEMPLATE_DIR}" PERMISSIONS ${_rw})
install(DIRECTORY dist/data DESTINATION "${ZEL_TEMPLATE_DIR}" FILE_PERMISSIONS ${_rw})
install(FILES README.md packaging/debian/copyright DESTINATION "${ZEL_DOC_DIR}" PERMISSIONS ${_rw})
if(ZEL_GZIP)
  install(FILES "${_pkg_out}/changelog.gz" DESTINATION "${ZEL_DOC_DIR}" PERMISSIONS ${_rw})
  install(FILES "${_pkg_out}/ZELServer-console.8.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man8" PERMISSIONS ${_rw})
endif()

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Install prefix ${CMAKE_INSTALL_PREFIX}: the Debian package is built with -DCMAKE_INSTALL_PREFIX=/usr (scripts/package.sh)")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelserver)
set(CPACK_PACKAGE_VERSION "${ZEL_PACKAGE_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
# The configuration and the logrotate snippet live outside the prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "${ZEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# The maintainer scripts' "invoke-rc.d --skip-systemd-native".
set(CPACK_DEBIAN_PACKAGE_PREDEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "logrotate")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "voice network server for radio amateurs")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "ZELServer admits client programs, radio gateways and crosslinks over TCP
into named networks, grants the floor to one talker at a time, relays the
voice and text of each network and keeps its member lists. The package runs
it as the zelserver user under systemd or its init script, configured in
${ZEL_CONFIG_DIR}.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${_pkg_out}/debian/postinst;${_pkg_out}/debian/prerm;${_pkg_out}/debian/postrm;${_pkg_out}/debian/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
