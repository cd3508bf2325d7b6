# The product: lkasio64.dll for 64-bit Windows, importing Windows system DLLs only.
add_library(lkasio64 SHARED ${LK_DRIVER_SOURCES} com/lkasio64.def)
target_include_directories(lkasio64 PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(lkasio64 PROPERTIES PREFIX "" OUTPUT_NAME lkasio64)
target_compile_definitions(lkasio64 PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_link_options(lkasio64 PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at)
target_link_libraries(lkasio64 PRIVATE setupapi avrt winmm ole32 advapi32 user32 uuid)

# The settings dialog: Windows code and its resource template, outside the shared driver sources.
enable_language(RC)
target_sources(lkasio64 PRIVATE platform/windows/control_panel.cpp platform/windows/control_panel.rc)

# A minimal ASIO host for the checks under Wine (scripts/wine_checks.sh). It has no CMakeLists.txt of
# its own, so only this build sees it.
add_executable(asiohost tools/asiohost/main.cpp tools/common/asio_names.cpp)
target_include_directories(asiohost PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(asiohost PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_link_options(asiohost PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(asiohost PRIVATE ole32 advapi32 uuid)
include(${PROJECT_SOURCE_DIR}/cmake/lkmodel.cmake)

# A host for the panel checks under Wine: opens the panel, drives its controls by messages, and reads
# the buffer size back through IASIO.
add_executable(lkpanelcheck tools/panelcheck/main.cpp tools/common/asio_names.cpp)
target_include_directories(lkpanelcheck PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(lkpanelcheck PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_link_options(lkpanelcheck PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(lkpanelcheck PRIVATE lkmodel ole32 advapi32 user32 uuid)
