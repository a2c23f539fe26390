# Runs at install time (see Install.cmake): writes an example systemd unit
# with ExecStart= and the other Exec lines naming the installed executable,
# a pointer to the man page, and the service user when one is configured.
if(IS_ABSOLUTE "${TARVEL_SBINDIR}")
  set(_exe "${TARVEL_SBINDIR}/tarvelsvc")
else()
  set(_exe "${CMAKE_INSTALL_PREFIX}/${TARVEL_SBINDIR}/tarvelsvc")
endif()
if(IS_ABSOLUTE "${TARVEL_UNIT_DIR}")
  set(_dir "${TARVEL_UNIT_DIR}")
else()
  set(_dir "${CMAKE_INSTALL_PREFIX}/${TARVEL_UNIT_DIR}")
endif()

file(READ "${TARVEL_UNIT_SOURCE}" _unit)
# Exec lines may carry systemd's prefixes (-, @, :, +, !) before the path,
# or run tarvelsvc from a shell command: any path ending in /tarvelsvc on a
# line that is not a comment is the executable's.
string(REGEX REPLACE "(\n[^#\n][^\n]*[ =@:+!-])/[^ \t\n'\"]*/tarvelsvc([ \t\n])"
       "\\1${_exe}\\2" _unit "${_unit}")
if(NOT _unit MATCHES "\nExecStart=[^\n]*${_exe}[ \t\n]")
  message(FATAL_ERROR "${TARVEL_UNIT_SOURCE}: no ExecStart= line naming tarvelsvc")
endif()
if(NOT _unit MATCHES "\nDocumentation=")
  string(REGEX REPLACE "(\nDescription=[^\n]*\n)" "\\1Documentation=man:tarvelsvc(8)\n"
         _unit "${_unit}")
endif()
if(TARVEL_SERVICE_USER AND NOT _unit MATCHES "\nUser=")
  string(REPLACE "\n[Service]\n"
         "\n[Service]\nUser=${TARVEL_SERVICE_USER}\nGroup=${TARVEL_SERVICE_USER}\n"
         _unit "${_unit}")
endif()

file(WRITE "${TARVEL_UNIT_OUTPUT}" "${_unit}")
file(INSTALL DESTINATION "${_dir}" TYPE FILE FILES "${TARVEL_UNIT_OUTPUT}")
