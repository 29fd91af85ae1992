# The asynchronous log.

# A process writing the log, started several times at once by
# LogProcessTest.
add_executable(logWriter logWriter.cc)
target_link_libraries(logWriter PRIVATE vorlan_internal)

vorlan_test(LogTest logTest.cc logRotationTest.cc logThreadTest.cc
            testMain.cc)
target_compile_definitions(LogTest PRIVATE
  "VORLAN_LOG_WRITER=\"$<TARGET_FILE:logWriter>\"")
add_dependencies(LogTest logWriter)
