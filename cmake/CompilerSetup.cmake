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
    # With the sanitizers' instrumentation GCC 12 reports "may be used
    # uninitialized" inside libstdc++'s std::regex (used by tests), a known
    # false positive that the release build does not show.
    add_compile_options($<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>)
elseif(VESK_ORLUNE_SANITIZER STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
    # GCC warns at every std::atomic_thread_fence, which TSan does not model.
    # Our code has none; the only ones are Boost.Asio's fenced blocks around
    # handler calls, whose ordering the io_context's own mutex also provides.
    add_compile_options($<$<CXX_COMPILER_ID:GNU>:-Wno-tsan>)
elseif(NOT VESK_ORLUNE_SANITIZER STREQUAL "")
    message(FATAL_ERROR "VESK_ORLUNE_SANITIZER must be empty, address or thread")
endif()
