lk_add_test(test_packing SOURCES packing_test.cpp)
lk_add_test(test_sim_threads SOURCES sim_threads_test.cpp LABELS streaming)
lk_add_test(test_streaming SOURCES streaming_test.cpp LABELS streaming)
