# Makes JUCE 8's CMake API available.
#
# By default JUCE comes from the Debian packages that scripts/bootstrap extracts
# into third_party/juce. Debian's JUCEConfig.cmake hard-codes /usr, so instead of
# find_package we load JUCE's CMake helpers from the extraction and add the
# modules we use ourselves. On other platforms point JUCE_SOURCE_DIR at a JUCE 8
# checkout and JUCE is added as a subdirectory, the usual way.

set(JUCE_SOURCE_DIR "" CACHE PATH "Optional JUCE 8 source checkout to build against instead of the bootstrapped one")

set(VESK_ORLUNE_JUCE_MODULES
    juce_core juce_events juce_data_structures juce_graphics juce_gui_basics juce_gui_extra
    juce_audio_basics juce_audio_processors juce_audio_plugin_client)

if(JUCE_SOURCE_DIR)
    add_subdirectory("${JUCE_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/JUCE" EXCLUDE_FROM_ALL)
else()
    set(_juce_root "${PROJECT_SOURCE_DIR}/third_party/juce/usr")
    set(_juce_cmake "${_juce_root}/lib/x86_64-linux-gnu/cmake/JUCE-8.0.6")
    if(NOT EXISTS "${_juce_cmake}/JUCEUtils.cmake")
        message(FATAL_ERROR "JUCE not found in third_party/juce: run scripts/bootstrap first, or set JUCE_SOURCE_DIR")
    endif()
    set(JUCE_MODULES_DIR "${_juce_root}/share/juce/modules" CACHE INTERNAL "The path to JUCE modules")
    include("${_juce_cmake}/JUCEModuleSupport.cmake")
    include("${_juce_cmake}/JUCEUtils.cmake")
    foreach(_module IN LISTS VESK_ORLUNE_JUCE_MODULES)
        juce_add_module("${JUCE_MODULES_DIR}/${_module}" ALIAS_NAMESPACE juce)
    endforeach()
endif()
