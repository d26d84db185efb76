# Warnings are errors in every build.
add_library(vx40_warnings INTERFACE)
target_compile_options(vx40_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
    -Werror)
