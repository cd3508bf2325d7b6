# The Kernel Streaming access layer (list, IRP target, pins, audio pins) and the simulated platform and
# device under it.
lk_add_test(test_sim_kernel SOURCES sim_kernel_test.cpp LABELS streaming)
lk_add_test(test_sim_larkspur SOURCES sim_larkspur_test.cpp LABELS streaming)
lk_add_test(test_ks_list_irp SOURCES ks_list_irp_test.cpp)
lk_add_test(test_ks_pin SOURCES ks_pin_test.cpp)
lk_add_test(test_ks_audio_pin SOURCES ks_audio_pin_test.cpp LABELS streaming)
# Its own process: ksuser.dll is loaded once per process.
lk_add_test(test_ks_pin_load SOURCES ks_pin_load_test.cpp)
