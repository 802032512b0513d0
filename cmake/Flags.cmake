# The one place for compiler flags: warnings everywhere, sanitizers on request.
function(kzvol_apply_flags target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow=local -Wno-unused-parameter)
  if(KZVOL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

if(KZVOL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Fuzzing: every object carries libFuzzer's coverage hooks and the sanitizers; the
# fuzz targets link libFuzzer's main.
if(KZVOL_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KZVOL_BUILD_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
