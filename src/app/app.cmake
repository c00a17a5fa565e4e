add_library(corvane_app STATIC
    ${CMAKE_CURRENT_LIST_DIR}/AppDelegate.cpp ${CMAKE_CURRENT_LIST_DIR}/AppDelegate.h
    ${CMAKE_CURRENT_LIST_DIR}/SingleInstance.cpp ${CMAKE_CURRENT_LIST_DIR}/SingleInstance.h
)
target_link_libraries(corvane_app PUBLIC
    Qt6::Widgets Qt6::Network corvane_settings corvane_hotkey corvane_capture corvane_overlay)
corvane_warnings(corvane_app)

# The executable lives inside its bundle: corvane.app/Contents/MacOS/corvane.
add_executable(corvane ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(corvane PRIVATE corvane_app PkgConfig::XCB)
set_target_properties(corvane PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CORVANE_BUNDLE_DIR}/Contents/MacOS)
corvane_warnings(corvane)

function(corvane_plist_escape out value)
    string(REPLACE "&" "&amp;" value "${value}")
    string(REPLACE "<" "&lt;" value "${value}")
    string(REPLACE ">" "&gt;" value "${value}")
    set(${out} "${value}" PARENT_SCOPE)
endfunction()
corvane_plist_escape(PLIST_SERVER_URL "${CORVANE_SERVER_URL}")
corvane_plist_escape(PLIST_CHANNEL "${CORVANE_CHANNEL}")
corvane_plist_escape(PLIST_VERSION "${CORVANE_VERSION}")
configure_file(${PROJECT_SOURCE_DIR}/resources/Info.plist.in
               ${CORVANE_BUNDLE_DIR}/Contents/Info.plist @ONLY)

# Resources are copied at build time so that edits reach the bundle without reconfiguring.
set(CORVANE_RESOURCES
    ${PROJECT_SOURCE_DIR}/resources/corvane-status.png
    ${PROJECT_SOURCE_DIR}/resources/corvane.desktop)
file(GLOB CORVANE_ICONS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/resources/Icons/*.png)
add_custom_target(corvane_resources ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CORVANE_BUNDLE_DIR}/Contents/Resources/Icons
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CORVANE_RESOURCES}
            ${CORVANE_BUNDLE_DIR}/Contents/Resources/
    DEPENDS ${CORVANE_RESOURCES}
    VERBATIM)
if(CORVANE_ICONS)
    add_custom_command(TARGET corvane_resources POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CORVANE_ICONS}
                ${CORVANE_BUNDLE_DIR}/Contents/Resources/Icons/
        VERBATIM)
endif()
add_dependencies(corvane corvane_resources)
