# lkplay: the command-line ASIO host and its units. Those with a callback thread run under ThreadSanitizer
# too (label streaming).
lk_add_test(test_lkplay_convert SOURCES lkplay_convert_test.cpp LABELS streaming)
target_link_libraries(test_lkplay_convert PRIVATE lkplay_core)

lk_add_test(test_lkplay_files SOURCES lkplay_files_test.cpp)
target_link_libraries(test_lkplay_files PRIVATE lkplay_core)

lk_add_test(test_lkplay_host SOURCES lkplay_host_test.cpp lkplay_fake_driver.cpp LABELS streaming)
target_link_libraries(test_lkplay_host PRIVATE lkplay_core)

lk_add_test(test_lkplay_cli SOURCES lkplay_cli_test.cpp)
target_link_libraries(test_lkplay_cli PRIVATE lkplay_core)

# Runs the lkplay and lksample programs against the driver library with its simulated device. Not in
# the ThreadSanitizer run: FFmpeg's libopenmpt exports an uninstrumented std::shared_ptr release that
# the driver library then binds to, which hides its synchronisation from the sanitizer.
lk_add_test(test_lkplay_e2e SOURCES lkplay_e2e_test.cpp)
target_link_libraries(test_lkplay_e2e PRIVATE lkplay_core)
add_dependencies(test_lkplay_e2e lkplay lksample lkasio64)
target_compile_definitions(test_lkplay_e2e PRIVATE LKPLAY_BIN="$<TARGET_FILE:lkplay>"
                                                   LKSAMPLE_BIN="$<TARGET_FILE:lksample>")

lk_add_test(test_lkplay_player SOURCES lkplay_player_test.cpp lkplay_fake_driver.cpp LABELS streaming)
target_link_libraries(test_lkplay_player PRIVATE lkplay_core)
