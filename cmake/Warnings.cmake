# Warnings are errors in our own code; every target of ours links this.
add_library(tyx_warnings INTERFACE)
target_compile_options(tyx_warnings INTERFACE
    $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra -Werror>
    $<$<COMPILE_LANGUAGE:CUDA>:-Xcompiler=-Wall,-Wextra -Werror=all-warnings>)
