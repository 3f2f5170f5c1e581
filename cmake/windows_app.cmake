# The Windows program: installer, service and windowed application in one
# executable, linked statically so it runs on a bare Windows.
add_executable(Ambrel WIN32 host/win_main.cpp)
set_target_properties(Ambrel PROPERTIES OUTPUT_NAME Ambrel SUFFIX ".exe")
target_link_libraries(Ambrel PRIVATE ambrel_core user32 gdi32 comctl32 shell32)
target_link_options(Ambrel PRIVATE -static -static-libgcc -static-libstdc++)

# Test-only Windows programs run under Wine.
add_executable(ini_check tests/wine/ini_check.cpp)
target_link_libraries(ini_check PRIVATE ambrel_core)
target_link_options(ini_check PRIVATE -static -static-libgcc -static-libstdc++)
