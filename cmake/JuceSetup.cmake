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

# ---------------------------------------------------------------------------
# JUCE compiled once: vesk_orlune_juce
#
# JUCE's module targets are INTERFACE libraries whose sources are compiled
# into every target that links them, with that target's definitions. Left so,
# the plug-in's shared code and the host-side tools would each compile the
# whole of JUCE. Instead the module sources are compiled once, into the static
# library vesk_orlune_juce, and taken off the module targets, which from then
# on only carry include paths, definitions and system libraries. The plug-in's
# shared code (and through it the VST3 module and the tests), the host library
# of the tools and integration tests, and everything else that needs JUCE link
# this one library.
#
# Every translation unit that sees a JUCE header must see the same JUCE_*
# configuration as the module sources (one definition rule), so the settings
# live here, PUBLIC, and nowhere else:
#   - hosting: JUCE's VST3 host only (the tools and the integration tests load
#     the built bundle with it). The plug-in carries this code too, unused;
#     JUCE's VST3 wrapper is written for plug-ins that also host VST3 (it then
#     takes the VST3 SDK sources from the host side instead of compiling them
#     itself).
#   - no web browser component, no curl, no modal loops (a plug-in must never
#     run one; the integration test pumps messages the way JUCE's own Linux
#     plug-in message thread does).
# The JucePlugin_* settings and JUCE_SHARED_CODE, which juce_add_plugin puts on
# the plug-in's own sources and its VST3 wrapper, are not seen by the module
# sources: in these modules they are read only by code for AU, AAX, IAA,
# Windows and macOS, never by what a Linux VST3 compiles. The test
# juce_compiled_once (tests/build) checks both rules on every build.
# ---------------------------------------------------------------------------

set(VESK_ORLUNE_JUCE_LIBRARY_MODULES
    juce_core juce_events juce_data_structures juce_graphics juce_gui_basics juce_gui_extra
    juce_audio_basics juce_audio_processors)

set(_vesk_juce_sources)
foreach(_module IN LISTS VESK_ORLUNE_JUCE_LIBRARY_MODULES)
    get_target_property(_module_sources ${_module} INTERFACE_SOURCES)
    if(NOT _module_sources)
        set(_module_sources "")
    endif()
    set_property(GLOBAL PROPERTY VESK_ORLUNE_JUCE_SOURCES_${_module} "${_module_sources}")
    list(APPEND _vesk_juce_sources ${_module_sources})
    set_property(TARGET ${_module} PROPERTY INTERFACE_SOURCES "")
endforeach()

# The sources of the given modules, for a target that must compile its own copy
# with other flags (the libFuzzer targets of the fuzz preset, which build
# nothing else).
function(vesk_orlune_juce_module_sources out_var)
    set(_result)
    foreach(_module IN LISTS ARGN)
        get_property(_module_sources GLOBAL PROPERTY VESK_ORLUNE_JUCE_SOURCES_${_module})
        list(APPEND _result ${_module_sources})
    endforeach()
    set(${out_var} ${_result} PARENT_SCOPE)
endfunction()

add_library(vesk_orlune_juce STATIC ${_vesk_juce_sources})
target_link_libraries(vesk_orlune_juce PUBLIC
    juce::juce_audio_processors
    juce::juce_gui_extra
    juce::juce_recommended_config_flags)
if(TARGET juce::pkgconfig_JUCE_IMG_LINUX_DEPS)
    # Debian's JUCE decodes images with the system's libpng and libjpeg.
    target_link_libraries(vesk_orlune_juce PUBLIC juce::pkgconfig_JUCE_IMG_LINUX_DEPS)
endif()
target_link_libraries(vesk_orlune_juce PUBLIC ${CMAKE_DL_LIBS})
target_compile_definitions(vesk_orlune_juce PUBLIC
    JUCE_PLUGINHOST_VST3=1
    JUCE_PLUGINHOST_VST=0
    JUCE_PLUGINHOST_AU=0
    JUCE_PLUGINHOST_LV2=0
    JUCE_PLUGINHOST_LADSPA=0
    JUCE_WEB_BROWSER=0
    JUCE_USE_CURL=0
    JUCE_MODAL_LOOPS_PERMITTED=0)
# JUCE's code, built with the compiler's default warnings, less one the VST3
# SDK's four-character codes trip in every build.
target_compile_options(vesk_orlune_juce PRIVATE $<$<CXX_COMPILER_ID:GNU,Clang>:-Wno-multichar>)
# Hidden like the plug-in's own code, so the VST3 module exports nothing but
# its entry points.
set_target_properties(vesk_orlune_juce PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
