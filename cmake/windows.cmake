# The product: lkasio64.dll for 64-bit Windows, importing Windows system DLLs only.
add_library(lkasio64 SHARED ${LK_DRIVER_SOURCES} com/lkasio64.def)
target_include_directories(lkasio64 PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(lkasio64 PROPERTIES PREFIX "" OUTPUT_NAME lkasio64)
target_compile_definitions(lkasio64 PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_link_options(lkasio64 PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at)
target_link_libraries(lkasio64 PRIVATE setupapi avrt winmm ole32 advapi32 user32 ksguid uuid)

# A minimal ASIO host for the checks under Wine (scripts/wine_checks.sh). It has no CMakeLists.txt of
# its own, so only this build sees it.
add_executable(asiohost tools/asiohost/main.cpp tools/common/asio_names.cpp)
target_include_directories(asiohost PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(asiohost PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_link_options(asiohost PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(asiohost PRIVATE ole32 advapi32 uuid)
