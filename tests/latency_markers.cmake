# The streaming benchmark's marker frames and the output latency it measures with them.
lk_add_test(test_latency_markers SOURCES latency_markers_test.cpp ${PROJECT_SOURCE_DIR}/bench/latency_markers.cpp)
