lk_add_test(test_buffer_size SOURCES buffer_size_test.cpp)
lk_add_test(test_buffer_size_streaming SOURCES buffer_size_streaming_test.cpp
            LABELS streaming)
lk_add_test(test_safety_buffers SOURCES safety_buffers_test.cpp)
