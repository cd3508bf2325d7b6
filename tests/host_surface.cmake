# The driver through IASIO only, in the call sequences of players and workstations.
# It streams, so it runs under ThreadSanitizer too.
lk_add_test(test_host_surface SOURCES host_surface_test.cpp LABELS streaming)

# The inspector's report, built from its source against the driver linked in.
lk_add_test(test_lkinfo_report SOURCES lkinfo_report_test.cpp ${PROJECT_SOURCE_DIR}/tools/lkinfo/report.cpp
            ${PROJECT_SOURCE_DIR}/tools/common/asio_names.cpp)
