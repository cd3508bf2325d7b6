# The Larkspur model for Windows hosts (liblkmodel.a): the simulated device's own logic, attached to a
# loaded lkasio64.dll at its imports. And lkstreamcheck.exe, the host that streams through the DLL
# into it under Wine (scripts/wine_checks.sh).
add_library(lkmodel STATIC
    lkmodel/attach.cpp lkmodel/device_calls.cpp lkmodel/faults.cpp lkmodel/handle_table.cpp
    lkmodel/request_check.cpp lkmodel/setupapi_calls.cpp
    sim/larkspur/descriptor.cpp sim/larkspur/device.cpp sim/larkspur/filter_target.cpp
    sim/larkspur/pin_target.cpp sim/larkspur/fault.cpp sim/larkspur/fifo_model.cpp sim/default_machine.cpp
    sim/setupapi_table.cpp lkmodel/text.cpp lkmodel/threads.cpp)
target_include_directories(lkmodel PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(lkmodel PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_link_libraries(lkmodel PUBLIC setupapi)

add_executable(lkstreamcheck
    tools/lkstreamcheck/main.cpp tools/lkstreamcheck/checks.cpp tools/lkstreamcheck/host.cpp
    tools/lkstreamcheck/streams.cpp tools/lkstreamcheck/failure_paths.cpp tools/lkstreamcheck/stream_verify.cpp
    tools/lkstreamcheck/request_checks_test.cpp tools/lkstreamcheck/user_size.cpp
    tools/lkstreamcheck/input_and_formats.cpp tools/lkstreamcheck/failing_writes.cpp)
target_include_directories(lkstreamcheck PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(lkstreamcheck PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_link_options(lkstreamcheck PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(lkstreamcheck PRIVATE lkmodel ole32 advapi32 uuid)
