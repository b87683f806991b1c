# Runs at install time: installs the systemd unit and the default settings
# where the prefix asks for them, and, on a machine's own installation (not
# into a staging folder under DESTDIR), the data directory with its starter
# zone. Settings and zone that are already there are kept.
include(${NORVANE_PACKAGING_DIR}/unit_template.cmake)

string(REGEX REPLACE "/+$" "" prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "" OR prefix STREQUAL "/usr")
  set(config_root /etc)
  set(state_root /var)
  set(unit_dir ${NORVANE_SYSTEM_UNIT_DIR})
else()
  set(config_root ${prefix}/etc)
  set(state_root ${prefix}/var)
  set(unit_dir ${prefix}/lib/systemd/system)
endif()
if(IS_ABSOLUTE "${NORVANE_SBINDIR}")
  set(program ${NORVANE_SBINDIR}/ostrum)
else()
  set(program ${prefix}/${NORVANE_SBINDIR}/ostrum)
endif()
set(store ${config_root}/norvane)
set(data ${state_root}/lib/norvane)
set(staging FALSE)
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  set(staging TRUE)
endif()

set(scratch ${NORVANE_SCRATCH_DIR})
file(MAKE_DIRECTORY ${scratch})
norvane_fill_unit_template("${program}" "${data}" "${store}" unit)
file(WRITE ${scratch}/DNSserver.service "${unit}")
file(INSTALL ${scratch}/DNSserver.service DESTINATION ${unit_dir}
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The server rewrites its settings while it runs; an installation over a
# running system must not take them back to the defaults.
if(staging OR NOT EXISTS ${store}/settings.ini)
  file(READ ${NORVANE_PACKAGING_DIR}/settings.ini.in settings)
  string(REPLACE "@DATA_DIRECTORY@" "${data}" settings "${settings}")
  file(WRITE ${scratch}/settings.ini "${settings}")
  file(INSTALL ${scratch}/settings.ini DESTINATION ${store}
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
else()
  message(STATUS "Kept: ${store}/settings.ini")
endif()

# A package creates the data directory in its maintainer script instead, so
# that no zone is ever a file the package owns (and an upgrade replaces).
if(NOT staging)
  if(EXISTS ${data}/name.db)
    message(STATUS "Kept: ${data}/name.db")
  else()
    file(INSTALL ${NORVANE_PACKAGING_DIR}/name.db DESTINATION ${data}
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endif()
