# Reproducible release builds: the same commit built in any folder gives the
# same bytes. Release packaging (scripts/release) turns this on; day-to-day
# builds keep absolute paths, which debuggers like.
option(MODFLASH_REPRODUCIBLE
       "Keep build folders and link times out of the programs" OFF)

if(MODFLASH_REPRODUCIBLE)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    # __FILE__ and debug information name files relative to the source tree.
    add_compile_options(
      -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
      -ffile-prefix-map=${PROJECT_BINARY_DIR}/=build/)
    # The build's date and time would differ from one build to the next.
    add_compile_options(-Werror=date-time)
  endif()
  if(MINGW)
    # A PE header carries a link time; leave it at zero. (Stripping writes
    # one again: SOURCE_DATE_EPOCH when it is set, else the current time.)
    add_link_options(-Wl,--no-insert-timestamp)
  endif()
endif()
