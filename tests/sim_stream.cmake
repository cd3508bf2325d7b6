lk_add_test(test_sim_stream SOURCES sim_stream_test.cpp LABELS streaming)
