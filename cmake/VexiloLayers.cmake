# The layers, as the build enforces them: src/pool sees only itself, src/engine sees itself and
# the pool, and only the module sees src/python. Each layer's library reaches the folders it may
# use through an include root of its own, which holds links to exactly those folders, so an
# include of a higher layer is a file the compiler cannot find. A scan before every build of the
# library also refuses an include that names a higher folder by a relative path ("../engine/..."),
# which no include path can stop.

set(VEXILO_LAYER_FOLDERS pool engine python)

# vexilo_layer(<target> <folder> [<lower folder>...]): <target> builds src/<folder> and may
# include src/<folder> and the lower folders, as "<folder>/<file>.h"; so may whatever links it.
function(vexilo_layer target folder)
    set(root "${PROJECT_BINARY_DIR}/layers/${target}")
    file(MAKE_DIRECTORY "${root}")
    foreach(visible IN ITEMS ${folder} ${ARGN})
        file(CREATE_LINK "${PROJECT_SOURCE_DIR}/src/${visible}" "${root}/${visible}" SYMBOLIC)
    endforeach()
    target_include_directories(${target} PUBLIC "${root}")
    # Failure sites in headers read through the links are named as in the tree ("src/pool/...").
    target_compile_options(${target} PUBLIC "-fmacro-prefix-map=${root}/=src/")

    set(forbidden ${VEXILO_LAYER_FOLDERS})
    list(REMOVE_ITEM forbidden ${folder} ${ARGN})
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS
        "${PROJECT_SOURCE_DIR}/src/${folder}/*.h" "${PROJECT_SOURCE_DIR}/src/${folder}/*.cpp")
    set(stamp "${PROJECT_BINARY_DIR}/layers/${target}.checked")
    add_custom_command(OUTPUT "${stamp}"
        COMMAND "${CMAKE_COMMAND}" "-DFORBIDDEN=${forbidden}" "-DSOURCES=${sources}"
                -P "${PROJECT_SOURCE_DIR}/cmake/check_layer_includes.cmake"
        COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
        DEPENDS ${sources} "${PROJECT_SOURCE_DIR}/cmake/check_layer_includes.cmake"
        COMMENT "Checking that src/${folder} includes nothing of: ${forbidden}"
        VERBATIM)
    add_custom_target(${target}_layer_check DEPENDS "${stamp}")
    add_dependencies(${target} ${target}_layer_check)
endfunction()
