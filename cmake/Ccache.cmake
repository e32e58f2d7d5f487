# Rebuilds on a 2-core machine are dominated by JUCE's module sources; ccache makes them cheap.
find_program(LUMETTA_CCACHE ccache)
if(LUMETTA_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
    set(CMAKE_C_COMPILER_LAUNCHER "${LUMETTA_CCACHE}")
    set(CMAKE_CXX_COMPILER_LAUNCHER "${LUMETTA_CCACHE}")
endif()
