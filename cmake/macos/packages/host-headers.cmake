# Header-only stand-ins for the packages that Homebrew provides on a Mac, for compiling (never
# linking) against a macOS SDK on another machine. zelk_host_headers(TARGET HEADER...) makes
# TARGET an interface target whose include folder holds links to this machine's copies of the
# named header folders only, so nothing else of the host's /usr/include is seen.
function(zelk_host_headers target)
  set(dir "${CMAKE_BINARY_DIR}/macos-host-headers")
  foreach(name IN LISTS ARGN)
    find_path(_zelk_${name}_parent NAMES ${name} PATHS /usr/include /usr/local/include
      NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    if(NOT _zelk_${name}_parent)
      message(FATAL_ERROR "${name}/ headers not found on this machine")
    endif()
    file(MAKE_DIRECTORY "${dir}")
    if(NOT EXISTS "${dir}/${name}")
      file(CREATE_LINK "${_zelk_${name}_parent}/${name}" "${dir}/${name}" SYMBOLIC)
    endif()
  endforeach()
  if(NOT TARGET ${target})
    add_library(${target} INTERFACE IMPORTED)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${dir}")
  endif()
endfunction()
