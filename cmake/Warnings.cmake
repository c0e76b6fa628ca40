# Warnings (and sanitizers) shared by every target of the project.
function(modflash_set_warnings target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE
      -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion)
    if(MODFLASH_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  elseif(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${MODFLASH_WERROR}>:/WX>)
  endif()
endfunction()

if(MODFLASH_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# A fuzz build instruments every object for libFuzzer's coverage; only the
# fuzz targets themselves link libFuzzer's main.
if(MODFLASH_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
