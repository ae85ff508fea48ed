# One place for the compiler flags shared by the module, the engine and the tests.
function(vexilo_target_options target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wconversion -Wsign-conversion -Wshadow -Wnon-virtual-dtor)
    # Failure reports name source files relative to the tree, never the build machine's path.
    target_compile_options(${target} PRIVATE "-fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=")
    # GCC 12 reports -Wrestrict false positives inside libstdc++'s string concatenation at -O3.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
        target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
    # Clang proves that VX_GUARDED_BY members are only touched under their mutex (src/pool/mutex.h).
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        target_compile_options(${target} PRIVATE -Wthread-safety)
    endif()
    if(VEXILO_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    if(VEXILO_SANITIZE)
        list(JOIN VEXILO_SANITIZE "," sanitizers)
        target_compile_options(${target} PUBLIC -fsanitize=${sanitizers} -fno-omit-frame-pointer)
        target_link_options(${target} PUBLIC -fsanitize=${sanitizers})
        if(NOT VEXILO_SANITIZE STREQUAL "thread")
            target_compile_options(${target} PUBLIC -fno-sanitize-recover=all)
        endif()
    endif()
endfunction()
