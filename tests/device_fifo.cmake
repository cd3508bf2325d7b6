# The simulated device's buffer under its real-time clock, and the real-time scheduling of the
# simulated "Pro Audio" task.
lk_add_test(test_device_fifo SOURCES device_fifo_test.cpp support/stream_host.cpp LABELS streaming)
