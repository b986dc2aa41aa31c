# Included before the programs' and the library's install rules: an update never rewrites an
# installed program or library in place. macOS keeps a signed file's code signature per vnode
# and kills a program rewritten in place at its next start (launchd would restart the helper,
# killed again, for good); Linux refuses to write a running program (ETXTBSY). So each file that
# is already installed is removed first and the new one is a new file. A running helper keeps its
# old file until it sees the new one and exits; a host keeps the library it loaded.
set(ZELK_FRESH_FILES
  "${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:zelk_core>"
  "${CMAKE_INSTALL_BINDIR}/zelk"
  "$<$<TARGET_EXISTS:zelk-helper>:${CMAKE_INSTALL_LIBEXECDIR}/zelk-helper>"
  "$<$<TARGET_EXISTS:vintrel>:${CMAKE_INSTALL_BINDIR}/vintrel>")
install(CODE "foreach(file IN ITEMS ${ZELK_FRESH_FILES})
  if(NOT file STREQUAL \"\")
    if(NOT IS_ABSOLUTE \"\${file}\")
      set(file \"\${CMAKE_INSTALL_PREFIX}/\${file}\")
    endif()
    if(EXISTS \"\$ENV{DESTDIR}\${file}\" AND NOT IS_SYMLINK \"\$ENV{DESTDIR}\${file}\")
      file(REMOVE \"\$ENV{DESTDIR}\${file}\")
    endif()
  endif()
endforeach()")
