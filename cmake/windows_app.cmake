# The Windows program: installer, service and windowed application in one
# executable, linked statically so it runs on a bare Windows.
enable_language(RC)
file(GLOB UI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/ui/*.cpp)
# Compiled once for both copies of the program below.
add_library(ambrel_app OBJECT host/win_main.cpp host/service.cpp ${UI_SOURCES})
target_include_directories(ambrel_app PRIVATE ${CMAKE_SOURCE_DIR}/resources)
target_link_libraries(ambrel_app PUBLIC ambrel_core)

add_executable(Ambrel WIN32 $<TARGET_OBJECTS:ambrel_app> resources/ambrel.rc)
set_target_properties(Ambrel PROPERTIES OUTPUT_NAME Ambrel SUFFIX ".exe")
target_include_directories(Ambrel PRIVATE ${CMAKE_SOURCE_DIR}/resources)
target_link_libraries(Ambrel PRIVATE ambrel_core user32 gdi32 comctl32 shell32 advapi32)
target_link_options(Ambrel PRIVATE -static -static-libgcc -static-libstdc++)

# The same program with a test-only answer about its menus (Wine cannot read
# another process's menus). The Wine tests run this copy; the package and
# users get Ambrel.exe, which answers no such message.
add_executable(AmbrelTest WIN32 $<TARGET_OBJECTS:ambrel_app> tests/wine/menu_query.cpp resources/ambrel.rc)
set_target_properties(AmbrelTest PROPERTIES OUTPUT_NAME AmbrelTest SUFFIX ".exe")
target_include_directories(AmbrelTest PRIVATE ${CMAKE_SOURCE_DIR}/resources)
target_link_libraries(AmbrelTest PRIVATE ambrel_core user32 gdi32 comctl32 shell32 advapi32)
target_link_options(AmbrelTest PRIVATE -static -static-libgcc -static-libstdc++)

# Test-only Windows programs run under Wine.
add_executable(profile_check tests/wine/profile_check.cpp)
target_link_libraries(profile_check PRIVATE ambrel_core)
target_link_options(profile_check PRIVATE -static -static-libgcc -static-libstdc++)
add_executable(tls_check tests/wine/tls_check.cpp)
target_link_libraries(tls_check PRIVATE ambrel_core)
target_link_options(tls_check PRIVATE -static -static-libgcc -static-libstdc++)

# Finds and drives the program's windows from outside (Wine tests).
add_executable(probe tests/wine/probe.cpp)
target_link_libraries(probe PRIVATE user32 comctl32 advapi32)
target_link_options(probe PRIVATE -static -static-libgcc -static-libstdc++)

# The resource compiler's own dependency list misses the files ambrel.rc
# includes (dialog templates, icons, manifest): name them so that editing one
# rebuilds the resources.
file(GLOB RESOURCE_INPUTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/*)
list(REMOVE_ITEM RESOURCE_INPUTS ${CMAKE_SOURCE_DIR}/resources/ambrel.rc)
set_source_files_properties(resources/ambrel.rc PROPERTIES OBJECT_DEPENDS "${RESOURCE_INPUTS}")
