# The CUDA backend is built only when asked for and nvcc is found; without it every kernel source
# is compiled as C++ and the host backend carries the work.
set(TYX_HAVE_CUDA OFF)
if(gpu)
    include(CheckLanguage)
    check_language(CUDA)
    if(CMAKE_CUDA_COMPILER)
        if(NOT DEFINED CMAKE_CUDA_ARCHITECTURES)
            set(CMAKE_CUDA_ARCHITECTURES 90)
        endif()
        enable_language(CUDA)
        # CMake 3.25 does not know nvcc's C++20 dialect flag yet.
        set(CMAKE_CUDA20_STANDARD_COMPILE_OPTION "-std=c++20")
        set(CMAKE_CUDA20_EXTENSION_COMPILE_OPTION "-std=c++20")
        set(CMAKE_CUDA_STANDARD 20)
        set(CMAKE_CUDA_STANDARD_REQUIRED ON)
        find_package(CUDAToolkit REQUIRED)
        set(TYX_HAVE_CUDA ON)
    endif()
endif()
message(STATUS "GPU device layer: CUDA backend ${TYX_HAVE_CUDA}")

# The host loops of the kernels are vectorised wherever the cost model finds it pays (plain -O2
# only takes loops that need no run-time checks), and floating point is never contracted into
# fused multiply-adds, on the CPU nor on the GPU, so that every backend and vector width computes
# the same bytes.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    set(TYX_KERNEL_HOST_OPTIONS -ftree-vectorize -fvect-cost-model=dynamic -ffp-contract=off)
else() # clang (the fuzz build) vectorises by its own cost model
    set(TYX_KERNEL_HOST_OPTIONS -ffp-contract=off)
endif()

# Adds kernel sources to a target: CUDA when the backend is built, plain C++ otherwise.
function(tyx_kernel_sources target)
    if(TYX_HAVE_CUDA)
        set_source_files_properties(${ARGN} PROPERTIES LANGUAGE CUDA)
        list(JOIN TYX_KERNEL_HOST_OPTIONS "," host_options)
        set_source_files_properties(${ARGN} PROPERTIES COMPILE_OPTIONS "--fmad=false;-Xcompiler=${host_options}")
    else()
        set_source_files_properties(${ARGN} PROPERTIES LANGUAGE CXX)
        set_source_files_properties(${ARGN} PROPERTIES COMPILE_OPTIONS "-xc++;${TYX_KERNEL_HOST_OPTIONS}")
    endif()
    target_sources(${target} PRIVATE ${ARGN})
endfunction()
