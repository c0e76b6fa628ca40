# CLI11 and nlohmann-json: Debian's header-only packages (libcli11-dev,
# nlohmann-json3-dev) under /usr/include. The MinGW cross builds must not
# search the whole of /usr/include, so only these two folders are exposed,
# through links in the build tree.
set(_modflash_headers ${CMAKE_BINARY_DIR}/header-libraries)
foreach(_dir CLI nlohmann)
  if(NOT EXISTS /usr/include/${_dir})
    message(FATAL_ERROR "/usr/include/${_dir} is missing: install "
                        "libcli11-dev and nlohmann-json3-dev")
  endif()
  file(MAKE_DIRECTORY ${_modflash_headers})
  file(CREATE_LINK /usr/include/${_dir} ${_modflash_headers}/${_dir} SYMBOLIC)
endforeach()
add_library(modflash_headers INTERFACE)
target_include_directories(modflash_headers SYSTEM INTERFACE ${_modflash_headers})
unset(_modflash_headers)
