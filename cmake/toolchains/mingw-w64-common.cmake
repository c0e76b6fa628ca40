# Shared part of the MinGW-w64 cross toolchains. The including file sets
# MODFLASH_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix thread-model compilers, so std::thread and std::mutex work.
set(CMAKE_C_COMPILER ${MODFLASH_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MODFLASH_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MODFLASH_MINGW_TRIPLE}-windres)
# windres preprocesses with a plain `<triple>-gcc`, which only exists once an
# alternative is chosen; name the -posix compiler and its usual arguments.
set(CMAKE_RC_FLAGS_INIT "--preprocessor=${CMAKE_C_COMPILER} \
--preprocessor-arg=-E --preprocessor-arg=-xc --preprocessor-arg=-DRC_INVOKED")

set(CMAKE_FIND_ROOT_PATH /usr/${MODFLASH_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every .exe carries its C and C++ runtimes and winpthread, so it runs alone.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs (and GoogleTest's test discovery) run under Wine.
get_filename_component(_modflash_root "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_modflash_root}/scripts/wine-run")
unset(_modflash_root)
