# AddressSanitizer and UndefinedBehaviorSanitizer for the whole build (the "asan" preset).
option(LUMETTA_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(LUMETTA_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

# Coverage-guided fuzzing with libFuzzer (clang only; the "fuzz" preset).
option(LUMETTA_FUZZ "Build the libFuzzer targets" OFF)
if(LUMETTA_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
