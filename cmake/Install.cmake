# What `cmake --install` puts where. The Debian package (debian/rules) uses
# the same rules with the prefix /usr.
include(GNUInstallDirs)

set(TARVEL_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Directory of the systemd unit, relative to the prefix or absolute")
set(TARVEL_BASH_COMPLETION_DIR "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" CACHE STRING
    "Directory of the bash completion, relative to the prefix or absolute")
# logrotate reads only /etc/logrotate.d, whatever the prefix.
set(TARVEL_LOGROTATE_DIR "/etc/logrotate.d" CACHE STRING
    "Directory of the logrotate snippet")
set(TARVEL_LOG_DIR "/var/log/tarvel" CACHE STRING
    "Log directory that the logrotate snippet and the example unit name")
# The system user that runs the service. When set, the unit runs the service
# as this user and logrotate rotates as this user (the log directory is
# the user's, so root never works in it). Empty: neither is said.
set(TARVEL_SERVICE_USER "" CACHE STRING "System user of the service (empty: none)")

install(TARGETS tarvelsvc RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES doc/tarvelsvc.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES contrib/tarvelsvc.bash-completion
        DESTINATION ${TARVEL_BASH_COMPLETION_DIR} RENAME tarvelsvc)

if(TARVEL_SERVICE_USER)
  set(TARVEL_LOGROTATE_SU "\n    su ${TARVEL_SERVICE_USER} adm")
else()
  set(TARVEL_LOGROTATE_SU "")
endif()
configure_file(contrib/tarvelsvc.logrotate.in ${CMAKE_CURRENT_BINARY_DIR}/tarvelsvc.logrotate @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarvelsvc.logrotate
        DESTINATION ${TARVEL_LOGROTATE_DIR} RENAME tarvelsvc)

# The units are the examples of contrib/, written at install time so that
# they name the executable where this install puts it (the prefix may be
# given to `cmake --install --prefix` only). The metrics job runs as root,
# which the control socket lets in and which may write to node-exporter's
# directory: it gets no service user.
foreach(_unit tarvelsvc.service tarvelsvc-metrics.service)
  if(_unit STREQUAL "tarvelsvc.service")
    set(_user "${TARVEL_SERVICE_USER}")
  else()
    set(_user "")
  endif()
  install(CODE "
    set(TARVEL_UNIT_SOURCE \"${CMAKE_CURRENT_SOURCE_DIR}/contrib/${_unit}\")
    set(TARVEL_UNIT_OUTPUT \"${CMAKE_CURRENT_BINARY_DIR}/install/${_unit}\")
    set(TARVEL_UNIT_DIR \"${TARVEL_SYSTEMD_UNIT_DIR}\")
    set(TARVEL_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
    set(TARVEL_SERVICE_USER \"${_user}\")
    include(\"${CMAKE_CURRENT_SOURCE_DIR}/cmake/InstallUnit.cmake\")
  ")
endforeach()
install(FILES contrib/tarvelsvc-metrics.timer DESTINATION ${TARVEL_SYSTEMD_UNIT_DIR})
# The drop-in that lifts MemoryDenyWriteExecute= for JIT runtimes is an
# example to copy, never active by itself.
install(FILES contrib/tarvelsvc-jit.conf DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# The alerting rules and their promtool tests, for Prometheus to load.
install(FILES contrib/prometheus/tarvelsvc.rules.yml contrib/prometheus/tarvelsvc.rules.test.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvelsvc/prometheus)

# The demo installation, as an example to copy; never a developer's logs,
# run directory or editor files.
install(DIRECTORY demo/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvelsvc/demo
        USE_SOURCE_PERMISSIONS
        PATTERN ".gitkeep" EXCLUDE
        PATTERN "*.log" EXCLUDE
        PATTERN "*.swp" EXCLUDE
        PATTERN "run" EXCLUDE)

if(TARVEL_TESTS)
  # Installs into a scratch tree and checks what lands there: the man page
  # renders without warnings, the completion and the logrotate snippet work.
  add_test(NAME install_tree
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/install/install_test.sh
                   ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
  set_tests_properties(install_tree PROPERTIES TIMEOUT 120)
endif()
