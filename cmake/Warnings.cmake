# Our own targets build with JUCE's recommended warnings and must stay at zero warnings.
add_library(lumetta_warnings INTERFACE)
target_link_libraries(lumetta_warnings INTERFACE juce::juce_recommended_warning_flags)
option(LUMETTA_WARNINGS_AS_ERRORS "Treat warnings in Lumetta's own code as errors" ON)
if(LUMETTA_WARNINGS_AS_ERRORS)
    target_compile_options(lumetta_warnings INTERFACE -Werror)
endif()
