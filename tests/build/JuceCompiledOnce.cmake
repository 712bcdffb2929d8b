# cmake -DCOMPILE_COMMANDS=<compile_commands.json> -DJUCE_SOURCES=<list file> -P JuceCompiledOnce.cmake
#
# 1. Each JUCE module source in JUCE_SOURCES has exactly one compile command.
# 2. The JUCE_* definitions of every translation unit compiled with JUCE's
#    module settings (JUCE_MODULE_AVAILABLE_juce_core) equal those of the
#    module sources, apart from the settings of JUCE's plug-in client, which
#    juce_add_plugin puts on the plug-in's own code and nothing in the modules
#    compiled here reads on Linux.

cmake_minimum_required(VERSION 3.22)

set(_plugin_client_only
    JUCE_SHARED_CODE
    JUCE_STANDALONE_APPLICATION
    JUCE_VST3_CAN_REPLACE_VST2
    JUCE_MODULE_AVAILABLE_juce_audio_plugin_client)

file(READ "${COMPILE_COMMANDS}" _json)
file(STRINGS "${JUCE_SOURCES}" _expected)
string(JSON _count LENGTH "${_json}")
math(EXPR _last "${_count} - 1")

function(_juce_definitions command out_var)
    string(REGEX MATCHALL "-DJUCE_[A-Za-z0-9_]+(=[^ ]*)?" _defs "${command}")
    set(_kept)
    foreach(_def IN LISTS _defs)
        string(REGEX REPLACE "^-D([A-Za-z0-9_]+).*" "\\1" _name "${_def}")
        if(NOT _name IN_LIST _plugin_client_only)
            string(SUBSTRING "${_def}" 2 -1 _def)
            list(APPEND _kept "${_def}")
        endif()
    endforeach()
    list(REMOVE_DUPLICATES _kept)
    list(SORT _kept)
    set(${out_var} "${_kept}" PARENT_SCOPE)
endfunction()

set(_failures 0)
set(_library_defs "")
set(_library_defs_known FALSE)
set(_others)
foreach(_i RANGE ${_last})
    string(JSON _entry GET "${_json}" ${_i})
    string(JSON _file GET "${_entry}" file)
    string(JSON _command ERROR_VARIABLE _no_command GET "${_entry}" command)
    if(_no_command)
        string(JSON _command GET "${_entry}" arguments)
    endif()
    file(TO_CMAKE_PATH "${_file}" _file)
    if(_file IN_LIST _expected)
        list(APPEND _seen "${_file}")
        _juce_definitions("${_command}" _defs)
        if(NOT _library_defs_known)
            set(_library_defs "${_defs}")
            set(_library_defs_known TRUE)
        elseif(NOT _defs STREQUAL _library_defs)
            message("JUCE source ${_file} compiled with other settings:\n  ${_defs}\n  vs ${_library_defs}")
            math(EXPR _failures "${_failures} + 1")
        endif()
    elseif(_command MATCHES "-DJUCE_MODULE_AVAILABLE_juce_core=1")
        list(APPEND _others "${_i}")
    endif()
endforeach()

foreach(_source IN LISTS _expected)
    set(_n 0)
    foreach(_s IN LISTS _seen)
        if(_s STREQUAL _source)
            math(EXPR _n "${_n} + 1")
        endif()
    endforeach()
    if(NOT _n EQUAL 1)
        message("JUCE source compiled ${_n} times (expected once): ${_source}")
        math(EXPR _failures "${_failures} + 1")
    endif()
endforeach()

list(LENGTH _expected _n_expected)
list(LENGTH _others _n_others)
foreach(_i IN LISTS _others)
    string(JSON _entry GET "${_json}" ${_i})
    string(JSON _file GET "${_entry}" file)
    string(JSON _command ERROR_VARIABLE _no_command GET "${_entry}" command)
    if(_no_command)
        string(JSON _command GET "${_entry}" arguments)
    endif()
    _juce_definitions("${_command}" _defs)
    if(NOT _defs STREQUAL _library_defs)
        message("${_file} sees JUCE with other settings than the JUCE library:\n  ${_defs}\n  vs ${_library_defs}")
        math(EXPR _failures "${_failures} + 1")
    endif()
endforeach()

message("JUCE module sources: ${_n_expected}; problems found: ${_failures}")
message("translation units with JUCE's module settings checked against them: ${_n_others}")
message("shared JUCE settings: ${_library_defs}")
if(_failures GREATER 0)
    message(FATAL_ERROR "${_failures} problem(s)")
endif()
