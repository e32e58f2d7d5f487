# Rebuilds on a 2-core machine are dominated by JUCE's module sources; ccache makes them cheap.
# The base directory lets checkouts in different folders share cache entries.
find_program(LUMETTA_CCACHE ccache)
if(LUMETTA_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
    set(_lumetta_launcher "${CMAKE_COMMAND}" -E env "CCACHE_BASEDIR=${PROJECT_SOURCE_DIR}" "${LUMETTA_CCACHE}")
    set(CMAKE_C_COMPILER_LAUNCHER ${_lumetta_launcher})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${_lumetta_launcher})
endif()
