# Hardened Linux release programs, as Debian builds its own: fortified libc
# calls (which need optimisation), and a read-only GOT bound at start-up.
# Release packaging (scripts/release) turns this on.
option(MODFLASH_HARDENING "Build hardened programs (optimised builds only)"
       OFF)

if(MODFLASH_HARDENING AND CMAKE_SYSTEM_NAME STREQUAL "Linux"
   AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2
                      -fstack-protector-strong)
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
