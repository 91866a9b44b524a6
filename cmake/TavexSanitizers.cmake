# Applies to every target of the tree, so that the core and its tests agree.
if(TAVEX_SANITIZE)
  if(TAVEX_SANITIZE STREQUAL "address,undefined")
    set(_tavex_san_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined)
  elseif(TAVEX_SANITIZE STREQUAL "thread")
    set(_tavex_san_flags -fsanitize=thread)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      # Asio's fences are not modelled by the thread sanitizer; gcc says so
      # for every use. The races it would hide are covered by the mutexes.
      add_compile_options(-Wno-tsan)
    endif()
  else()
    message(FATAL_ERROR "TAVEX_SANITIZE must be empty, 'address,undefined' or 'thread'")
  endif()
  add_compile_options(${_tavex_san_flags} -fno-omit-frame-pointer -g)
  add_link_options(${_tavex_san_flags})
  message(STATUS "Sanitizers: ${TAVEX_SANITIZE}")
endif()

if(TAVEX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TAVEX_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  # Coverage for the whole tree; the fuzz targets add -fsanitize=fuzzer at link time.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()
