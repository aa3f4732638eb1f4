# Fails when a source includes a layer it must not see; run by the build as
# `cmake -DSOURCE_DIR=... -P CheckLayering.cmake`. Each folder may include only:
#   App/                 App/ and the Platform/ interfaces
#   Platform/            the Platform/ interfaces
#   Platform/Posix/      the Platform/ interfaces and Platform/Posix/
#   Platform/Desktop/    the Platform/ interfaces, Platform/Posix/ and Platform/Desktop/
#   Host/Core/           Host/Core/, App/Bridge/, Platform/Posix/ and the Platform/ interfaces: the
#                        bridge knows no transport; its one wiring place also Platform/Desktop/
#   Host/ elsewhere      Host/, App/Bridge/, Platform/Posix/ and the Platform/ interfaces
set(interfaces "Platform/[^/]+$")
set(posix "Platform/Posix/")
set(wiring "Host/Core/PlatformWiring.cpp")

file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}"
    "${SOURCE_DIR}/App/*.h" "${SOURCE_DIR}/App/*.cpp"
    "${SOURCE_DIR}/Platform/*.h" "${SOURCE_DIR}/Platform/*.cpp"
    "${SOURCE_DIR}/Host/*.h" "${SOURCE_DIR}/Host/*.cpp")

set(violations "")
foreach(source IN LISTS sources)
    if(source MATCHES "^App/")
        set(allowed "^(App/|${interfaces})")
    elseif(source MATCHES "^Platform/Posix/")
        set(allowed "^(${posix}|${interfaces})")
    elseif(source MATCHES "^Platform/Desktop/")
        set(allowed "^(Platform/Desktop/|${posix}|${interfaces})")
    elseif(source MATCHES "^Platform/")
        set(allowed "^${interfaces}")
    elseif(source STREQUAL wiring)
        set(allowed "^(Host/Core/|App/Bridge/|Platform/Desktop/|${posix}|${interfaces})")
    elseif(source MATCHES "^Host/Core/")
        set(allowed "^(Host/Core/|App/Bridge/|${posix}|${interfaces})")
    else()
        set(allowed "^(Host/|App/Bridge/|${posix}|${interfaces})")
    endif()
    file(STRINGS "${SOURCE_DIR}/${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
        string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" included "${line}")
        if(included MATCHES "^(App|Platform|Host)/" AND NOT included MATCHES "${allowed}")
            string(APPEND violations "  ${source} includes ${included}\n")
        endif()
    endforeach()
endforeach()

if(violations)
    message(FATAL_ERROR "Layering broken:\n${violations}")
endif()
