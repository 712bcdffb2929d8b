# Compiler launcher, warnings and sanitizers shared by every target of the build.

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
    # Paths relative to the checkout, so every build folder shares the cache.
    set(_launcher "${CMAKE_COMMAND}" -E env "CCACHE_BASEDIR=${PROJECT_SOURCE_DIR}" CCACHE_NOHASHDIR=true
        "${CCACHE_PROGRAM}")
    set(CMAKE_C_COMPILER_LAUNCHER ${_launcher})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${_launcher})
endif()

# Warnings for our own targets only; JUCE's module sources are built without them.
add_library(vesk_orlune_warnings INTERFACE)
target_compile_options(vesk_orlune_warnings INTERFACE
    $<$<CXX_COMPILER_ID:GNU,Clang>:-Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wconversion -Wno-sign-conversion>)

if(VESK_ORLUNE_SANITIZER STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(VESK_ORLUNE_SANITIZER STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT VESK_ORLUNE_SANITIZER STREQUAL "")
    message(FATAL_ERROR "VESK_ORLUNE_SANITIZER must be empty, address or thread")
endif()
