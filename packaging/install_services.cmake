# Runs at install time, from the install rules: writes the service definitions with the path of
# the helper just installed. Systemd reads the unit of a package under /usr from
# /lib/systemd/system (Debian 12) and, for any other prefix, from PREFIX/lib/systemd/system
# (/usr/local/lib/systemd/system is on its search path); the launchd plist and, off Linux, the
# unit are examples in the data folder. The package (prefix /usr) also gets its lintian override.
function(zelk_install_configured template dir)
  if(NOT IS_ABSOLUTE "${dir}")
    set(dir "${CMAKE_INSTALL_PREFIX}/${dir}")
  endif()
  get_filename_component(name "${template}" NAME_WLE)
  set(file "${dir}/${name}")
  message(STATUS "Installing: $ENV{DESTDIR}${file}")
  configure_file("${ZELK_SERVICE_SOURCES}/${template}" "$ENV{DESTDIR}${file}" @ONLY)
  file(CHMOD "$ENV{DESTDIR}${file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "$ENV{DESTDIR}${file}")
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()

if(IS_ABSOLUTE "${ZELK_LIBEXECDIR}")
  set(ZELK_HELPER "${ZELK_LIBEXECDIR}/zelk-helper")
else()
  set(ZELK_HELPER "${CMAKE_INSTALL_PREFIX}/${ZELK_LIBEXECDIR}/zelk-helper")
endif()
if(ZELK_SYSTEMD)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(unit_dir /lib/systemd/system)
  else()
    set(unit_dir lib/systemd/system)
  endif()
else()
  set(unit_dir "${ZELK_DATADIR}/zelk")
endif()
zelk_install_configured(linux/zelk-helper.service.in "${unit_dir}")
zelk_install_configured(macos/app.morvitan.zelk.helper.plist.in "${ZELK_DATADIR}/zelk")
# The Debian package's lintian override, with the reason for it.
if(ZELK_SYSTEMD AND CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  zelk_install_configured(debian/lintian/zelk.in "${ZELK_DATADIR}/lintian/overrides")
endif()
