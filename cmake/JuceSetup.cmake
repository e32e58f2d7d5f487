# JUCE 8.0.6 as unpacked by scripts/bootstrap from Debian's own packages.
if(NOT JUCE_DIR)
    set(_lumetta_cache "$ENV{LUMETTA_CACHE}")
    if(NOT _lumetta_cache)
        if(DEFINED ENV{XDG_CACHE_HOME})
            set(_lumetta_cache "$ENV{XDG_CACHE_HOME}/lumetta")
        else()
            set(_lumetta_cache "$ENV{HOME}/.cache/lumetta")
        endif()
    endif()
    if(EXISTS "${_lumetta_cache}/juce-dir")
        file(STRINGS "${_lumetta_cache}/juce-dir" JUCE_DIR LIMIT_COUNT 1)
    endif()
endif()

# The version file of the Debian package only accepts an exact match.
find_package(JUCE 8.0.6 EXACT CONFIG REQUIRED)

# Settings every JUCE build in this project shares, so that the plug-in, the headless core and the
# host checks agree on what JUCE contains. Debian strips JUCE's bundled FLAC and Ogg code.
add_library(lumetta_juce_settings INTERFACE)
target_compile_definitions(lumetta_juce_settings INTERFACE
    JUCE_USE_FLAC=0
    JUCE_USE_OGGVORBIS=0
    JUCE_WEB_BROWSER=0
    JUCE_USE_CURL=0
    JUCE_VST3_CAN_REPLACE_VST2=0
    JUCE_DISPLAY_SPLASH_SCREEN=0
    JUCE_REPORT_APP_USAGE=0
    JUCE_SILENCE_XCODE_15_LINKER_WARNING=1)

# Debian's JUCE uses the system's PNG, JPEG and zlib instead of the copies JUCE bundles, but its
# module metadata does not name them: link them for every JUCE build here.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LUMETTA_SYSTEM_IMAGE_LIBS REQUIRED IMPORTED_TARGET libpng libjpeg zlib)
target_link_libraries(lumetta_juce_settings INTERFACE PkgConfig::LUMETTA_SYSTEM_IMAGE_LIBS)

# A static library of JUCE modules for everything that is not a plug-in binary (tests, tools,
# benchmarks, the host checks). Its compile settings are re-exported so that code compiled against
# it sees exactly the configuration the modules were built with.
function(lumetta_add_juce_library name)
    cmake_parse_arguments(ARG "" "" "MODULES;DEFINITIONS" ${ARGN})
    add_library(${name} STATIC)
    target_link_libraries(${name}
        PRIVATE ${ARG_MODULES}
        PUBLIC lumetta_juce_settings juce::juce_recommended_config_flags)
    if(ARG_DEFINITIONS)
        target_compile_definitions(${name} PUBLIC ${ARG_DEFINITIONS})
    endif()
    target_compile_definitions(${name} INTERFACE $<TARGET_PROPERTY:${name},COMPILE_DEFINITIONS>)
    target_include_directories(${name} INTERFACE $<TARGET_PROPERTY:${name},INCLUDE_DIRECTORIES>)
    set_target_properties(${name} PROPERTIES
        POSITION_INDEPENDENT_CODE TRUE
        VISIBILITY_INLINES_HIDDEN TRUE
        C_VISIBILITY_PRESET hidden
        CXX_VISIBILITY_PRESET hidden)
endfunction()
