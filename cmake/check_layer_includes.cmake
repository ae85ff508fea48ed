# Fails when one of SOURCES includes a file from one of the FORBIDDEN folders of src/, by any
# path: "engine/x.h", "../engine/x.h", <python/x.h>. Run by vexilo_layer (VexiloLayers.cmake).
#   cmake "-DFORBIDDEN=engine;python" "-DSOURCES=a.cpp;b.h" -P check_layer_includes.cmake
set(found "")
foreach(source IN LISTS SOURCES)
    file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include")
    foreach(line IN LISTS includes)
        foreach(folder IN LISTS FORBIDDEN)
            if(line MATCHES "[<\"/]${folder}/")
                string(APPEND found "\n  ${source}: ${line}")
            endif()
        endforeach()
    endforeach()
endforeach()
if(found)
    message(FATAL_ERROR "These files include a layer above their own (${FORBIDDEN}):${found}")
endif()
