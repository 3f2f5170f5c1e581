# The Windows program: installer, service and windowed application in one
# executable, linked statically so it runs on a bare Windows.
enable_language(RC)
file(GLOB UI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/ui/*.cpp)
# Compiled once for both copies of the program below.
add_library(ambrel_app OBJECT host/win_main.cpp host/service.cpp ${UI_SOURCES})
target_include_directories(ambrel_app PRIVATE ${CMAKE_SOURCE_DIR}/resources)
target_link_libraries(ambrel_app PUBLIC ambrel_core)

# The event-log message table: windmc (binutils, beside windres) turns
# resources/events.mc into a resource script and the table it names, which
# ambrel.rc includes.
string(REGEX REPLACE "windres$" "windmc" AMBREL_WINDMC "${CMAKE_RC_COMPILER}")
set(EVENTS_DIR ${CMAKE_BINARY_DIR}/events)
# The resources' version texts, from the project's version.
configure_file(${CMAKE_SOURCE_DIR}/resources/version.h.in ${EVENTS_DIR}/version.h @ONLY)
add_custom_command(
  OUTPUT ${EVENTS_DIR}/events.rc ${EVENTS_DIR}/events.h ${EVENTS_DIR}/MSG00409.bin
  COMMAND ${CMAKE_COMMAND} -E make_directory ${EVENTS_DIR}
  COMMAND ${AMBREL_WINDMC} -h ${EVENTS_DIR} -r ${EVENTS_DIR} ${CMAKE_SOURCE_DIR}/resources/events.mc
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/events.mc
  COMMENT "Compiling the event message table")
add_custom_target(event_messages DEPENDS ${EVENTS_DIR}/events.rc)

add_executable(Ambrel WIN32 $<TARGET_OBJECTS:ambrel_app> resources/ambrel.rc)
set_target_properties(Ambrel PROPERTIES OUTPUT_NAME Ambrel SUFFIX ".exe")
target_include_directories(Ambrel PRIVATE ${CMAKE_SOURCE_DIR}/resources ${EVENTS_DIR})
target_link_libraries(Ambrel PRIVATE ambrel_core user32 gdi32 comctl32 shell32 advapi32)
target_link_options(Ambrel PRIVATE -static -static-libgcc -static-libstdc++)

# The same program with a test-only answer about its menus (Wine cannot read
# another process's menus). The Wine tests run this copy; the package and
# users get Ambrel.exe, which answers no such message.
add_executable(AmbrelTest WIN32 $<TARGET_OBJECTS:ambrel_app> tests/wine/menu_query.cpp resources/ambrel.rc)
set_target_properties(AmbrelTest PROPERTIES OUTPUT_NAME AmbrelTest SUFFIX ".exe")
target_include_directories(AmbrelTest PRIVATE ${CMAKE_SOURCE_DIR}/resources ${EVENTS_DIR})
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
target_link_libraries(probe PRIVATE user32 comctl32 advapi32 crypt32)
target_link_options(probe PRIVATE -static -static-libgcc -static-libstdc++)

# The resource compiler's own dependency list misses the files ambrel.rc
# includes (dialog templates, icons, manifest, the compiled message table):
# name them so that editing one rebuilds the resources, and so that Ninja
# makes the message table first.
file(GLOB RESOURCE_INPUTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/*)
list(REMOVE_ITEM RESOURCE_INPUTS ${CMAKE_SOURCE_DIR}/resources/ambrel.rc ${CMAKE_SOURCE_DIR}/resources/events.mc)
list(APPEND RESOURCE_INPUTS ${EVENTS_DIR}/events.rc ${EVENTS_DIR}/MSG00409.bin)
set_source_files_properties(resources/ambrel.rc PROPERTIES OBJECT_DEPENDS "${RESOURCE_INPUTS}")
